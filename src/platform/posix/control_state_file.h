#pragma once

// The enabled state of a window's controls, kept where tests and the peer tool can read it:
// <runtime folder>/<title>.controls, one line per control that has been set, "<id> enabled" or
// "<id> disabled", in increasing id order. A control without a line is enabled. The file is
// replaced as a whole on every change, so a reader never sees half of it.

#include <map>
#include <string>

namespace zelk::posix {

std::string ControlStatePath(const std::string& folder, const std::string& title);

bool WriteControlState(const std::string& path, const std::map<int, bool>& controls);
// False when the file is missing or unreadable; lines that do not parse are skipped.
bool ReadControlState(const std::string& path, std::map<int, bool>* controls);

}  // namespace zelk::posix
