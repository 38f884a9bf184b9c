#pragma once

// Follows the ports of the ALSA sequencer as they come and go, without
// polling: a thread of its own sleeps until the sequencer announces a change.
// GUI thread, once per process.

// Starts the watch: from then on `changed` is called on the watch's thread
// whenever the readable ports (or their names) differ from what they were
// before; it must neither wait nor take long. Nothing happens without a
// sequencer (no /dev/snd/seq).
void watchAlsaPorts(void (*changed)());
