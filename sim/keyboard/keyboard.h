// Simulated service keyboard: a FIFO under the root's dev/input/by-id/ fed with Linux input events.
#pragma once
#include <linux/input.h>

#include <optional>
#include <string>
#include <vector>

namespace sim {

// The keyboard's node in a root, matching the program's "/dev/input/by-id/*-event-kbd".
std::string keyboardPath(const std::string& root);
// Creates the FIFO (replacing anything else of that name); false with a line on stderr.
bool makeKeyboard(const std::string& root);

// "F11", "F12", "PRINT" (or "SYSRQ"), "ESC", "ENTER", "SPACE", "A".."Z", "0".."9", "F1".."F24";
// -1 for a name it does not know.
int keyCode(const std::string& name);

// Events as a keyboard sends them: press, `repeats` auto-repeats, release, each with its SYN.
std::vector<input_event> keyStroke(int code, int repeats = 0);
input_event inputEvent(int type, int code, int value);

// Writes the events with one write (so they arrive whole); "" or the reason it could not.
std::string writeKeyEvents(const std::string& root, const std::vector<input_event>& events);

// The control channel's "kbd" lines: "kbd KEY", "kbd KEY hold N" (N auto-repeats while held, up to 50) and
// "kbd raw TYPE CODE VALUE" (one event as given). nullopt for a line that is not "kbd".
std::optional<std::string> keyboardCommand(const std::string& root, const std::string& line);

}  // namespace sim
