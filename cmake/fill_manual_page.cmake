# Writes the manual page OUTPUT from PAGE, filling in @PROJECT_VERSION@,
# @ONDRILUX_RELEASE_DATE@ and @ONDRILUX_OPERATIONS@ (the troff list in the file
# OPERATIONS). Run at build time: cmake -DPAGE=... -DOUTPUT=... -P this file.
file(READ ${OPERATIONS} ONDRILUX_OPERATIONS)
string(STRIP "${ONDRILUX_OPERATIONS}" ONDRILUX_OPERATIONS)
configure_file(${PAGE} ${OUTPUT} @ONLY)
