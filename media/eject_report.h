// What a disk tool reports on standard error beyond the failure phrase, so
// that Pomrel can tell the user why an eject failed without ever showing the
// tool's own words. The tools of both backends write it; the eject reads it.
//
// Each report line is a tag, then fields, each after one tab, then a newline:
//   pomrel-holder TAB PID TAB NAME   a program that holds the card's volume
//                                    (PID in decimal); one line per program
//   pomrel-cause TAB CAUSE           the tool did not eject the card for a
//                                    reason other than its volume being in use
// No field holds a tab, a newline or another control character, and a tool
// writes every other line of its own so that none of them can start with a
// tag. Other lines are for people and are not read.
#pragma once

#include <string_view>

namespace pomrel {

inline constexpr std::string_view kHolderTag = "pomrel-holder";
inline constexpr std::string_view kCauseTag = "pomrel-cause";

// The causes. A cause that Pomrel does not know reads as kCauseFailed.
// The system refused the action to this user (udisks2 and polkit).
inline constexpr const char* kCauseNotAuthorized = "not-authorized";
// The service that ejects disks cannot be reached.
inline constexpr const char* kCauseNoDiskService = "no-disk-service";
// That service did not answer in time.
inline constexpr const char* kCauseNoAnswer = "no-answer";
// The disk does not carry the card's mark (it may be another disk now).
inline constexpr const char* kCauseNotCard = "not-card";
// The disk, or a volume built on it, holds the system's own files.
inline constexpr const char* kCauseSystemDisk = "system-disk";
// Any other failure.
inline constexpr const char* kCauseFailed = "failed";

}  // namespace pomrel
