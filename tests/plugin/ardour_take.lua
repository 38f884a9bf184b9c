-- One take of the plugin in Ardour, run by ardour7-lua on its "None (Dummy)"
-- back end (it exports the same bits as on JACK, and outlives its own faults
-- better): a session with a MIDI track whose instrument is the LV2 plugin
-- under a factory preset or the VST3 plugin with the preset's values, a
-- region of notes on it, and the session's export as a 32-bit float WAV
-- file. Settings come from the environment (see tests/plugin/ardour_test.cpp); the last line printed is
-- "exported" when all went well.
local env = os.getenv
local frames = tonumber(env("ONDRILUX_FRAMES"))

local function take()
  assert(AudioEngine:set_backend("None (Dummy)", "", ""), "no Dummy back end")
  assert(create_session(env("ONDRILUX_SESSION"), "take", 48000), "no session")
  local vst3 = env("ONDRILUX_VST3")
  local info = vst3 and ARDOUR.LuaAPI.new_plugin_info(vst3, ARDOUR.PluginType.VST3)
               or ARDOUR.LuaAPI.new_plugin_info(env("ONDRILUX_URI"), ARDOUR.PluginType.LV2)
  assert(not info:isnil(), "the plugin is not found")
  local tracks = Session:new_midi_track(
    ARDOUR.ChanCount(ARDOUR.DataType("midi"), 1), ARDOUR.ChanCount(ARDOUR.DataType("audio"), 2),
    true, info, nil, nil, 1, "Take", ARDOUR.PresentationInfo.max_order,
    ARDOUR.TrackMode.Normal, true)
  local track = tracks:front()
  -- Ardour's default panner scales a mono plugin by -3 dB; bypassed, both
  -- channels carry the plugin's output as it is.
  track:panner_shell():set_bypassed(true)
  local instrument = track:the_instrument()
  -- The preset, or its values one by one: "parameter value;" for each.
  for n, v in (env("ONDRILUX_PARAMETERS") or ""):gmatch("(%d+) (%d+);") do
    assert(ARDOUR.LuaAPI.set_processor_param(instrument, tonumber(n), tonumber(v)), "parameter " .. n)
  end
  local plugin = instrument:to_insert():plugin(0)
  assert(vst3 or plugin:load_preset(plugin:preset_by_label(env("ONDRILUX_PRESET"))), "no such preset")

  -- The Lua API makes no MIDI source: a bounce of the empty track up to its
  -- instrument is an empty MIDI region, which takes the notes.
  local region = track:bounce_range(0, frames, ARDOUR.InterThreadInfo(), instrument, false, "notes", false)
  local model = region:to_midiregion():model()
  local notes = model:new_note_diff_command("notes")
  for start, length, note in env("ONDRILUX_NOTES"):gmatch("(%d+) (%d+) (%d+)") do
    local ticks = function(t) return Temporal.Beats(t // 1920, t % 1920) end
    notes:add(ARDOUR.LuaAPI.new_noteptr(0, ticks(tonumber(start)), ticks(tonumber(length)),
                                        tonumber(note), 100))
  end
  model:apply_command(Session, notes)
  -- Placed as the editor places it, so that the session gets its range.
  local playlist = track:playlist()
  Session:begin_reversible_command("insert region")
  playlist:to_stateful():clear_changes()
  playlist:add_region(region, Temporal.timepos_t(0), 1, false, 0, 0, false)
  Session:add_stateful_diff_command(playlist:to_statefuldestructible())
  Session:commit_reversible_command(nil)

  local export = Session:simple_export()
  assert(export:set_preset(env("ONDRILUX_EXPORT_PRESET")), "no export preset")
  export:set_folder(env("ONDRILUX_SESSION"))
  export:set_name("take")
  export:set_range(0, frames)
  assert(export:run_export(), "the export failed")
end

-- Said before the session closes: Ardour 7.3 now and then corrupts its heap
-- as it closes one, after the export is written.
local ok, why = pcall(take)
print(ok and "exported" or ("failed: " .. tostring(why)))
if Session then
  close_session()
end
