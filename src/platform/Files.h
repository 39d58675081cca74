#pragma once
// File operations whose behaviour differs between hosts.
#include <string>

namespace jv {

// Moves tmp over target, replacing a file that is there, in one step: the
// target is either the old file or the new one, never missing or half written.
bool MoveFileOver(const std::string& tmp, const std::string& target);

}  // namespace jv
