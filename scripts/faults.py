#!/usr/bin/env python3
"""Deliberate faults, and whether the test suite catches each one.

Each fault is a small exact text substitution in one source file. `run`
applies one fault at a time, rebuilds the dev build's test programs (ccache
makes the unchanged objects cheap), runs the tests that could catch it and
records which failed; the file is always put back, even when the run is
interrupted (a journal in the build folder restores it at the next start).

  scripts/faults.py list                     the faults, one a line
  scripts/faults.py check                    each fault's text occurs once in its file
  scripts/faults.py run [-o FILE.json] [-L LABEL,...] [ID...]
  scripts/faults.py table BEFORE.json [AFTER.json]   a Markdown table of results

A fault is caught when the build succeeds and at least one test fails (a
crash or a timeout counts). A fault that does not compile is reported as
"build error": the list must be mended, it says nothing about the tests.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "dev"
JOURNAL = BUILD / "faults-journal.json"
LOGS = BUILD / "faults"

# What the tests of each label need built.
TARGETS = {
    "core": ["pomrel_core_tests"],
    "sim": ["pomrel_sim_tests", "sxs-card"],
    "auth": ["auth_tests", "auth_test_tool", "sxs-card"],
    "defaults": ["pomrel_defaults_tests"],
    "qt": ["pomrel_qt_tests", "Pomrel", "pomrel_bundle_resources"],
    "e2e": ["Pomrel", "sxs-card", "pomrel_bundle_resources"],
    "linux": ["pomrel_linux_tests", "pomrel_linux_privileged_tests"],
    "host": ["pomrel_host_tests", "pomrel_host_privileged_tests", "pomrel-driverctl-standin",
             "pomrel-driverctl", "pomrel-diskutil", "Pomrel"],
}
# The quick suites: everything but the display and the real devices.
FAST = ["core", "sim", "auth", "defaults", "qt", "linux"]
EXCLUDED_FROM_FAST = "e2e|host"


@dataclasses.dataclass
class Fault:
    id: str
    file: str
    subs: list[tuple[str, str]]
    what: str
    # Labels expected to catch it (documentation; the run covers FAST).
    expect: str
    # Labels to run besides FAST: "e2e", "host".
    extra: tuple[str, ...] = ()


def F(id, file, old, new, what, expect, extra=()):
    subs = old if isinstance(old, list) else [(old, new)]
    return Fault(id, file, subs, what, expect, tuple(extra))


FAULTS: list[Fault] = [
    # ---- app/ ----
    F("menu-validation-inverted", "app/app_controller.cc",
      "if (action == kDisableMediaAction && !getSxSDisk(nullptr)) return false;",
      "if (action == kDisableMediaAction && getSxSDisk(nullptr)) return false;",
      "Disable is enabled without a card and disabled with one", "core"),
    F("launch-skips-setting", "app/app_controller.cc",
      "  loadUserDefaults();\n  // Registered",
      "  // Registered",
      "the launch does not read the launch-at-login setting", "core"),
    F("launch-skips-watch", "app/app_controller.cc",
      "  registerMatchingNotification();\n  registerServiceNotification();",
      "  registerMatchingNotification();",
      "the launch does not arm the removal watch", "core"),
    F("launch-skips-match", "app/app_controller.cc",
      "  registerMatchingNotification();\n  registerServiceNotification();",
      "  registerServiceNotification();",
      "a card that appears after the launch is never watched", "core"),
    F("authorization-never-freed", "app/app_controller.cc",
      "    platform_.authorization.free(m_AuthRef, kAuthorizationFlagDestroyRights);\n    m_AuthRef = nullptr;\n  }\n  if (m_StatusItem",
      "    m_AuthRef = nullptr;\n  }\n  if (m_StatusItem",
      "the controller's end keeps the administrator right", "core"),
    F("ok-action-cancels", "app/app_controller.cc",
      '{"w0_Ok:", &AppController::w0_Ok}',
      '{"w0_Ok:", &AppController::w0_Cancel}',
      "the preferences window's OK button does what Cancel does", "qt"),
    F("qt-texts-english", "platform/qt/qt_bundle.cc",
      'QStringLiteral("qtbase_") + language,',
      'QStringLiteral("qtbase_en"),',
      "Qt's own texts stay English whatever the language of the bundle's texts", "qt"),
    F("mixed-state-unticked", "app/preferences.cc",
      "w0_LoginItem->state() != NSControlStateValueOff",
      "w0_LoginItem->state() == NSControlStateValueOn",
      "a check box in the mixed state counts as unticked", "qt"),
    F("setting-not-synchronized", "app/preferences.cc",
      "  defaults->synchronize();\n}",
      "}",
      "the setting is changed but never written", "qt linux"),
    F("window-ignores-setting", "app/preferences.cc",
      "w0_LoginItem->setState(m_IsAddLoginItem ? NSControlStateValueOn : NSControlStateValueOff);",
      "w0_LoginItem->setState(NSControlStateValueOn);",
      "the preferences window always shows the box ticked", "qt"),
    F("cancel-saves", "app/preferences.cc",
      "void AppController::w0_Cancel(void* /*sender*/) {\n  if (w0_Window != nullptr) w0_Window->close();\n}",
      "void AppController::w0_Cancel(void* /*sender*/) {\n  if (w0_Window != nullptr) w0_Window->close();\n"
      "  m_IsAddLoginItem = w0_LoginItem != nullptr && w0_LoginItem->state() != NSControlStateValueOff;\n"
      "  saveUserDefaults();\n}",
      "Cancel applies the box as OK does", "qt"),

    # ---- media/ ----
    F("eject-attempt-limit-off-by-one", "media/eject.cc",
      "if (attempts == kEjectAttemptLimit) break;",
      "if (attempts == kEjectAttemptLimit + 1) break;",
      "the disk tool runs once more than the attempt limit", "core"),
    F("eject-nul-cut-skipped", "media/eject.cc",
      "return bytes.substr(0, bytes.find('\\0'));",
      "return bytes;",
      "the failure phrase is looked for past a NUL byte", "core"),
    F("eject-cause-retried", "media/eject.cc",
      "    if (report.cause) {",
      "    if (false) {",
      "a disk tool's cause is ignored: a refusal is retried and told as a volume in use", "core"),
    F("eject-holders-unbounded", "media/eject.cc",
      "std::min(holders.size(), kHoldersShown)",
      "holders.size()",
      "the alert lists every holder instead of five and how many more", "core"),
    F("sim-holder-unnamed", "simulator/diskutil_tool.cc",
      "    if (!state.busyHolder.empty()) {",
      "    if (false) {",
      "the simulated busy volume's holder is not named", "sim e2e", ("e2e",)),
    F("eject-ignores-timeout", "media/eject.cc",
      "if (!result.launched || result.timedOut) break;",
      "if (!result.launched) break;",
      "a disk tool that ran past its bound is run again", "core"),
    F("eject-phrase-changed", "media/media_bounds.h",
      '"Volume failed to eject"',
      '"Volume could not be ejected"',
      "the failure phrase no longer matches what the disk tool writes", "core"),
    F("lookup-name-no-room-for-nul", "media/card_lookup.cc",
      "name->size() + 1 > buffer.size()",
      "name->size() > buffer.size()",
      "a 256-byte disk name is accepted without room for its NUL", "core"),
    F("lookup-leaks-service", "media/card_lookup.cc",
      "  if (!copyBSDName(properties, local)) {\n    registry.release(service);\n",
      "  if (!copyBSDName(properties, local)) {\n",
      "a media service without a usable name is never released", "core"),
    F("disable-keeps-watch-armed", "media/media_commands.cc",
      "  clearServiceNotification();\n  if (!ejectDisk()) {",
      "  if (!ejectDisk()) {",
      "the watch stays armed while the disable ejects and unloads", "core"),
    F("disable-no-rearm-after-failed-eject", "media/media_commands.cc",
      "    registerServiceNotification();\n    return;",
      "    return;",
      "after a failed eject the watch is not armed again", "core"),
    F("enable-skips-unload", "media/media_commands.cc",
      "  if (!getSxSDisk(nullptr)) exec_kextunload();\n",
      "",
      "Enable loads without unloading a plug-in that is loaded without its card", "core"),
    F("enable-pause-too-short", "media/media_commands.cc",
      "platform_.clock.sleep(1);",
      "platform_.clock.sleep(0);",
      "Enable arms the watch before the driver can have presented the card", "core"),
    F("not-installed-continues", "media/media_commands.cc",
      '    showAlert("MSG_NotInstall");\n    return false;',
      '    showAlert("MSG_NotInstall");',
      "a command goes on after telling that the driver is not installed", "core"),
    F("prompt-not-interactive", "media/privileged_control.cc",
      "kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights);",
      "kAuthorizationFlagExtendRights);",
      "the administrator right is asked for without allowing the prompt", "core"),
    F("prompt-failure-silent", "media/privileged_control.cc",
      "    if (const char* cause = promptFailureCause(asked)) {",
      "    if (const char* cause = promptFailureCause(asked); cause != nullptr && false) {",
      "a prompt that could not be shown ends the command with nothing on screen", "core"),
    F("prompt-failure-cause-swapped", "media/privileged_control.cc",
      '      return "MSG_AuthFail_NoAgent";',
      '      return "MSG_AuthFail_NoPrompter";',
      "no polkit agent is told as pkexec missing", "core"),
    F("dismissed-prompt-alerts", "media/privileged_control.cc",
      "    default:\n      return nullptr;",
      '    default:\n      return "MSG_AuthFail_NoService";',
      "a dismissed or refused prompt shows the alert of one that could not be shown", "core"),
    F("unload-not-waited", "media/privileged_control.cc",
      "unload->waitUntilExit(kKextUnloadWaitBound) && unload->terminationStatus() == 0;",
      "unload->terminationStatus() == 0;",
      "the unload tool is not waited for before the card is declared safe", "core"),
    F("kextload-wrong-tool", "media/privileged_control.cc",
      "if (sudoCommand(kKextLoadPath, arguments, &load)",
      "if (sudoCommand(kKextUnloadPath, arguments, &load)",
      "Enable runs the unload tool in place of the load tool", "core"),
    F("watch-left-armed-after-failed-registration", "media/removal_watch.cc",
      "  platform_.runLoop.removeSource(source, kCFRunLoopDefaultMode);\n  registry.notificationPortDestroy(port);\n  g_NotifyPort = nullptr;\n",
      "",
      "a failed interest registration leaves the port armed", "core"),
    F("watch-armed-twice", "media/removal_watch.cc",
      "  if (g_NotifyPort != nullptr) return false;\n",
      "",
      "arming an armed watch makes a second port", "core"),
    F("watch-ignores-message-type", "media/removal_watch.cc",
      "if (messageType != kIOMessageServiceIsTerminated) return;",
      "if (messageType == 0) return;",
      "any message from the card's service (a busy change) runs Disable", "core"),
    F("clear-leaves-source", "media/removal_watch.cc",
      "  platform_.runLoop.removeSource(registry.notificationPortGetRunLoopSource(g_NotifyPort),\n                                 kCFRunLoopDefaultMode);\n",
      "",
      "clearing the watch leaves its source on the run loop", "core"),
    F("appeared-card-not-watched", "media/removal_watch.cc",
      "  if (!m_CommandRunning) registerServiceNotification();",
      "",
      "a card that appears is not watched", "core"),
    F("appeared-card-watched-inside-command", "media/removal_watch.cc",
      "  if (!m_CommandRunning) registerServiceNotification();",
      "  registerServiceNotification();",
      "a card that appears while a command runs is watched from inside it", "core"),
    F("pull-does-not-disable", "media/removal_watch.cc",
      "  clearServiceNotification();\n  disableMedia(this);",
      "  clearServiceNotification();",
      "a pulled card does not run Disable", "core"),

    F("command-not-refused-while-running", "media/media_commands.cc",
      "  if (m_CommandRunning) return;\n  const RunningCommand running(m_CommandRunning);\n  if (!beginMediaCommand()) return;\n  // Unarmed",
      "  const RunningCommand running(m_CommandRunning);\n  if (!beginMediaCommand()) return;\n  // Unarmed",
      "Disable sent from a prompt's or alert's event loop runs inside the running command", "core"),
    F("menu-enabled-while-running", "app/app_controller.cc",
      "const bool mediaCommand = action == kDisableMediaAction || action == kEnableMediaAction;",
      "const bool mediaCommand = false;",
      "the two commands stay enabled in the menu while one runs", "core"),
    F("load-answer-not-watched", "media/privileged_control.cc",
      "    if (pending->descriptor() >= 0) {",
      "    if (pending->descriptor() < -1) {",
      "a Start's load answer is never taken on the run loop, so its failure is never told", "core", ("host",)),
    F("load-failure-silent", "media/privileged_control.cc",
      "  for (const std::string& reason : failures) showAlert(\"MSG_LoadFail\", reason);\n",
      "",
      "a failed load is taken but nothing is shown", "core", ("host",)),
    F("unload-leaves-load-answer", "media/privileged_control.cc",
      "  takeLoadAnswers();\n  return unloaded;",
      "  return unloaded;",
      "a Stop while a load is pending leaves the load's answer, which its unload's wait took in, untold", "core"),
    F("authorization-kept-before-granted", "media/privileged_control.cc",
      [("      authorization.create(nullptr, nullptr, kAuthorizationFlagDefaults, &made);",
        "      authorization.create(nullptr, nullptr, kAuthorizationFlagDefaults, &made);\n"
        "  if (m_AuthRef == nullptr) m_AuthRef = made;"),
       ("    authorization.free(made, kAuthorizationFlagDestroyRights);\n    // Without",
        "    authorization.free(made, kAuthorizationFlagDestroyRights);\n"
        "    if (m_AuthRef == made) m_AuthRef = nullptr;\n    // Without"),
       ("  if (m_AuthRef != nullptr) authorization.free(m_AuthRef,",
        "  if (m_AuthRef != nullptr && m_AuthRef != made) authorization.free(m_AuthRef,")],
      None,
      "the authorization is stored while its prompt is still up", "core"),
    F("unload-failure-not-shown", "media/media_commands.cc",
      '  if (!exec_kextunload()) {\n    showAlert("MSG_UnloadFail");\n    return;\n  }\n',
      "  exec_kextunload();\n",
      "the card is declared safe to remove when the unload did not happen", "core"),
    F("unload-status-ignored", "media/privileged_control.cc",
      "&& unload->terminationStatus() == 0;",
      ";",
      "an unload tool that failed counts as done", "core"),

    # ---- loginitems/ ----
    F("login-check-without-reread", "loginitems/zan_login_items.cc",
      "  updateStartupItems();\n  return applicationIsInStartupItems(_thisAppPath);",
      "  return applicationIsInStartupItems(_thisAppPath);",
      "OK compares the setting with the login list as read at launch", "core qt"),
    F("login-empty-path-added", "loginitems/zan_login_items.cc",
      "  if (!_thisAppPath.empty()) addApplicationToStartupItems(_thisAppPath, false);",
      "  addApplicationToStartupItems(_thisAppPath, false);",
      "an entry with an empty path is added when the program's path is unknown", "core"),
    F("login-bare-name-against-cwd", "loginitems/zan_login_items.cc",
      "  if (executable.find('/') == std::string::npos) {",
      "  if (executable.empty()) {",
      "a program started by a bare name is listed under the working folder", "core"),
    F("login-add-without-reread", "loginitems/zan_login_items.cc",
      "  // Re-read so that what another program wrote meanwhile is kept.\n  updateStartupItems();\n",
      "",
      "an addition writes back the list as read earlier, dropping another program's change", "core"),
    F("login-remove-without-reread", "loginitems/zan_login_items.cc",
      "void ZanLoginItems::removeApplicationFromStartupItems(const std::string& path) {\n  updateStartupItems();",
      "void ZanLoginItems::removeApplicationFromStartupItems(const std::string& path) {",
      "a removal writes back the list as read earlier", "core"),
    F("login-add-appends", "loginitems/zan_login_items.cc",
      "_startupItems.insert(_startupItems.begin(), PropertyValue(std::move(entry)));",
      "_startupItems.push_back(PropertyValue(std::move(entry)));",
      "a new login item goes last instead of first", "core qt"),
    F("login-remove-replaces-non-list", "loginitems/zan_login_items.cc",
      "writeBack(listIsArrayOrAbsent());",
      "writeBack(true);",
      "a removal replaces a list value that is not an array", "core"),
    F("login-path-not-normalized", "loginitems/zan_login_items.cc",
      '} else if (!component.empty() && component != ".") {',
      '} else if (!component.empty()) {',
      "a program path is listed with its . components", "core"),
    F("login-outer-bundle", "loginitems/zan_login_items.cc",
      "  std::string bundle = path;",
      "  std::string bundle = path.substr(0, path.find(\".app\") + 4);",
      "the bundle is cut at the first \".app\", so a helper is listed as its host", "core"),

    # ---- platform/posix ----
    F("reader-follows-links", "platform/posix/file_reader.cc",
      "  if (links == Links::kRefuse) flags |= O_NOFOLLOW;\n",
      "",
      "the bounded reader follows a link where none is expected", "defaults"),
    F("reader-blocks-on-fifo", "platform/posix/file_reader.cc",
      "int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;",
      "int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY;",
      "the bounded reader blocks for ever on a FIFO", "defaults sim"),
    F("reader-reads-non-regular", "platform/posix/file_reader.cc",
      "} else if (!S_ISREG(info.st_mode)) {",
      "} else if (S_ISDIR(info.st_mode)) {",
      "the bounded reader reads a device or FIFO as a file", "defaults"),
    F("reader-unbounded", "platform/posix/file_reader.cc",
      [("} else if (static_cast<unsigned long long>(info.st_size) > limit) {", "} else if (false) {"),
       ("      if (got > limit) return failure(ReadStatus::kTooLarge);\n      result.bytes.resize",
        "      result.bytes.resize"),
       ("  if (got > limit) return failure(ReadStatus::kTooLarge);\n  result.bytes.resize(got);",
        "  if (got > limit + got) return failure(ReadStatus::kTooLarge);\n  result.bytes.resize(got);")],
      None,
      "a file larger than its bound is read whole", "defaults"),
    F("atomic-write-replaced-by-plain", "platform/posix/plist_io.cc",
      [("  std::string temp = path + \".XXXXXX\";\n  const int fd = mkstemp(temp.data());",
        "  std::string temp = path;\n  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);")],
      None,
      "a property-list file is rewritten in place instead of replaced whole", "defaults sim"),
    F("atomic-write-leaves-temporary", "platform/posix/plist_io.cc",
      "  if (!ok) {\n    ::unlink(temp.c_str());",
      "  if (!ok) {",
      "a write that fails leaves its temporary file beside the target", "defaults"),
    F("atomic-write-replaces-link", "platform/posix/plist_io.cc",
      "  const std::optional<std::string> target = linkTarget(linkOrPath);",
      "  const std::optional<std::string> target = linkOrPath;",
      "a preference file that is a link is replaced by a file, the linked file left as it was", "defaults"),
    F("defaults-link-kept-aside", "platform/posix/plist_user_defaults.cc",
      "    aside = keepAside(*target, target->substr(0, target->rfind('/')));",
      "    aside = keepAside(path, folder_);",
      "an unreadable file behind a link is kept aside as the link, which then shows the new file", "defaults"),
    F("defaults-unreadable-not-kept", "platform/posix/plist_user_defaults.cc",
      "  if (state == DomainFile::kNotDomain) {",
      "  if (false) {",
      "a malformed domain file is replaced without being kept aside", "defaults"),
    F("defaults-removal-deletes-foreign-file", "platform/posix/plist_user_defaults.cc",
      "    if (state != DomainFile::kDomain) return true;\n",
      "",
      "removing a domain deletes a file that holds no domain", "defaults"),
    F("defaults-dotdot-domain", "platform/posix/plist_user_defaults.cc",
      'return !name.empty() && name != "." && name != ".." &&',
      'return !name.empty() && name != "." &&',
      'a domain named ".." escapes the preferences folder', "defaults"),
    F("runner-timeout-not-reported", "platform/posix/process_runner.cc",
      "    reap(pid, &waitStatus);\n    result.timedOut = true;",
      "    reap(pid, &waitStatus);",
      "a tool killed at its bound is reported as finished", "auth"),
    F("runner-standard-error-unbounded", "platform/posix/process_runner.cc",
      "out.append(buffer.data(), std::min(size, room));",
      "out.append(buffer.data(), std::min(size, room + size));",
      "a tool's standard error is kept whole however much it writes", "auth"),
    F("runner-passes-descriptors", "platform/posix/process_runner.cc",
      "  if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);\n",
      "",
      "a tool inherits the application's descriptors that lack close-on-exec", "auth"),
    F("runner-passes-blocked-signals", "platform/posix/process_runner.cc",
      "    error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);",
      "    error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);",
      "a tool starts with the signals the application blocks blocked", "auth"),
    F("defaults-unreadable-path-replaced", "platform/posix/plist_user_defaults.cc",
      "  if (state == DomainFile::kUnreadable) return false;\n",
      "",
      "a write replaces a domain path that could not be read (a folder, a FIFO)", "defaults"),
    F("plist-nul-in-binary-text", "platform/posix/plist_io.cc",
      "    if (binaryTextHoldsNul(bytes)) return std::nullopt;",
      "    if (false && binaryTextHoldsNul(bytes)) return std::nullopt;",
      "a binary string or key holding a NUL is read cut short", "defaults"),
    F("plist-negative-integer-unsigned", "platform/posix/plist_io.cc",
      ": newSignedIntegerNode(static_cast<std::int64_t>(i->bits));",
      ": newUnsignedIntegerNode(i->bits);",
      "a negative integer is written as the unsigned number of the same bits", "defaults"),
    F("plist-nul-in-long-binary-text", "platform/posix/plist_binary_form.cc",
      "if ((lengthMarker >> 4) != 0x1 || width > 8 || start + 1 + width > t.tableOffset) continue;",
      "continue;",
      "a binary string of 15 characters or more holding a NUL is read cut short", "defaults"),
    F("plist-date-day-of-month", "platform/posix/plist_xml_check.cc",
      "return day >= 1 && day <= days &&",
      "return day >= 1 && day <= (days | 31) &&",
      "an XML date on a day its month does not have is read as another day", "defaults"),
    F("plist-xml-repeated-key", "platform/posix/plist_io.cc",
      "if (xmlKeys && reader.keys != *xmlKeys) return std::nullopt;",
      "if (xmlKeys && reader.keys > *xmlKeys) return std::nullopt;",
      "an XML dictionary with a key twice is read as one entry", "defaults"),
    F("plist-binary-repeated-key", "platform/posix/plist_io.cc",
      "if (!value || !dict.emplace(key, std::move(*value)).second) return std::nullopt;",
      "if (!value) return std::nullopt;\n      dict.insert_or_assign(key, std::move(*value));",
      "a binary dictionary with a key twice is read as one entry", "defaults"),
    F("plist-integer-under-range", "platform/posix/plist_xml_check.cc",
      "magnitude <= (std::uint64_t{1} << 63));",
      "magnitude <= ~std::uint64_t{0});",
      "an XML integer below the signed 64-bit range is read (its sign flipped)", "defaults"),
    F("plist-base64-lenient", "platform/posix/plist_xml_check.cc",
      "return count % 4 == 0 && padding <= 2;",
      "return padding <= 2;",
      "base64 of a wrong length is read as data", "defaults"),
    F("plist-integer-octal", "platform/posix/plist_xml_check.cc",
      "  } else if (text.size() > 1 && text.front() == '0') {\n    return false;  // read as octal",
      "  } else if (false) {\n    return false;  // read as octal",
      "an XML integer with a leading zero is read as octal", "defaults"),
    F("plist-date-inexact", "platform/posix/plist_io.cc",
      "if (const auto* d = value.date()) return newDateNode(*d);",
      "if (const auto* d = value.date()) return newDateNode(PropertyDate{static_cast<double>(static_cast<std::int64_t>(d->secondsSinceReferenceDate))});",
      "a date is written back without its fraction", "defaults"),
    F("plist-date-microseconds", "platform/posix/plist_exact_values.cc",
      [("#include <bit>\n", "#include <bit>\n#include <cmath>\n"),
       ("binaryDate(date.secondsSinceReferenceDate);",
        "binaryDate(std::round(date.secondsSinceReferenceDate * 1e6) / 1e6);")],
      None,
      "a date is written back rounded to the microsecond", "defaults"),
    F("plist-date-nan-as-1932", "platform/posix/plist_exact_values.cc",
      "binaryDate(date.secondsSinceReferenceDate);",
      "binaryDate(date.secondsSinceReferenceDate == date.secondsSinceReferenceDate ? date.secondsSinceReferenceDate : -2147483648.0);",
      "a NaN date is written back as its 32-bit seconds, in 1932", "defaults"),
    F("plist-date-before-year-1-clamped", "platform/posix/plist_exact_values.cc",
      "binaryDate(date.secondsSinceReferenceDate);",
      "binaryDate(date.secondsSinceReferenceDate < -63113904000.0 ? -63113904000.0 : date.secondsSinceReferenceDate);",
      "a date before year 1 is written back as 1 January of year 1", "defaults"),
    F("plist-uid-as-integer", "platform/posix/plist_io.cc",
      "if (const auto* u = value.uid()) return plist_new_uid(u->value);",
      "if (const auto* u = value.uid()) return plist_new_uint(u->value);",
      "a UID is written back as an integer", "defaults"),
    F("plist-depth-binary-unchecked", "platform/posix/plist_io.cc",
      "    if (!binaryTreeWithin(bytes, kMaxPropertyListDepth)) return std::nullopt;\n",
      "",
      "a binary list nested too deep reaches libplist's recursive reader", "defaults"),
    F("plist-depth-shared-unchecked", "platform/posix/plist_binary_form.cc",
      "return path.size() + nesting <= maxDepth && add(nesting, nodes[index]);",
      "return add(nesting, nodes[index]);",
      "a binary object that many containers share counts as deep as where it was first met", "defaults"),
    F("plist-binary-expansion-unbounded", "platform/posix/plist_binary_form.cc",
      "    return path.back().nodes <= maxNodes;",
      "    return maxNodes > 0;",
      "a small binary list of arrays referred to twice expands in libplist without bound", "defaults"),
    F("plist-depth-xml-unchecked", "platform/posix/plist_xml_check.cc",
      "if (isContainer(*element) && ++containers_ > maxDepth_) return false;",
      "if (isContainer(*element)) ++containers_;",
      "an XML list nested too deep is built whole by libplist", "defaults"),
    F("tools-not-reaped", "platform/sim/sim_authorization.cc",
      "    if (runLoop != nullptr && pidfd.valid()) runLoop->addSource(this, kCFRunLoopDefaultMode);\n",
      "",
      "a load tool nobody waits for stays defunct until the next command", "auth"),
    F("sim-port-leaks-descriptor", "platform/sim/sim_registry.cc",
      "    closeIfOpen(event_);\n    closeIfOpen(inotify_);",
      "    closeIfOpen(event_);",
      "a destroyed notification port keeps its inotify descriptor open", "sim"),
    F("sim-late-watch-not-woken", "platform/sim/sim_registry.cc",
      "  if (!store_.entryExists(name, id) || !store_.listMessages(name, id, lastSequence).empty()) {\n    target->wake();\n  }",
      "",
      "a termination before the registration is never delivered", "sim"),
    F("sim-message-kept", "platform/sim/sim_registry.cc",
      "      ::unlink(message.path.c_str());\n      if (!portAlive) return;",
      "      if (!portAlive) return;",
      "a delivered message is never consumed", "sim"),
    F("sim-termination-repeated", "platform/sim/sim_registry.cc",
      "          r.terminated = true;",
      "          r.terminated = false;",
      "a terminated service's registration is told of the termination again", "sim"),
    F("sim-appeared-card-not-delivered", "platform/sim/sim_registry.cc",
      "      if (id <= registration->id) continue;",
      "      if (id <= registration->id || true) continue;",
      "the simulated registry never tells that a card's media service appeared", "e2e", ("e2e",)),
    F("sim-tool-reason-whole", "platform/sim/sim_authorization.cc",
      "    reason = text.substr(0, text.find('\\n'));",
      "    reason = text;",
      "the simulated tool's failure reason is all it wrote, not its first line", "auth"),
    F("sim-run-without-right", "platform/sim/sim_authorization.cc",
      "  if (!session->holdsAdministratorRight) return errAuthorizationDenied;\n  if (pathToTool",
      "  if (pathToTool",
      "a tool runs with privileges from a session that was never granted the right", "auth"),
    F("sim-no-admin-still-prompts", "platform/sim/sim_authorization.cc",
      "  if (::access(adminAccountsPath(paths_.root()).c_str(), F_OK) != 0) {",
      "  if (false) {",
      "a machine without administrators shows a prompt nobody can answer", "auth"),
    F("sim-prompt-once", "platform/sim/sim_authorization.cc",
      "constexpr int kPromptAttempts = 3;",
      "constexpr int kPromptAttempts = 1;",
      "a wrong password ends the prompt at once instead of asking again", "auth"),
    F("sim-tool-env-leaks", "platform/sim/sim_authorization.cc",
      "posix::spawnChild(paths_.resolve(pathToTool), argv, envp.data(),",
      "posix::spawnChild(paths_.resolve(pathToTool), argv, environ,",
      "a privileged tool gets the application's environment", "auth"),

    # ---- simulator/ ----
    F("entry-unexaminable-reads-gone", "simulator/registry_store.cc",
      "return ::stat(entryPath(name, id).c_str(), &info) == 0 || (errno != ENOENT && errno != ENOTDIR);",
      "return ::stat(entryPath(name, id).c_str(), &info) == 0;",
      "a registry entry that cannot be examined reads as terminated", "sim"),
    F("non-regular-entry-matches", "simulator/registry_store.cc",
      "if (id && regular && (!lowest || *id < *lowest)) lowest = id;",
      "if (id && (regular || true) && (!lowest || *id < *lowest)) lowest = id;",
      "a registry entry that is not a file (a folder, a FIFO) is a match", "sim"),
    F("admin-accounts-unlocked", "simulator/admin_accounts.cc",
      "  const AccountsLock lock(root);\n  if (!lock.held()) return false;\n",
      "",
      "two administrators set at once can drop one", "auth"),
    F("admin-terminal-left-quiet", "simulator/admin_accounts.cc",
      "if (previous_[i].sa_handler != SIG_IGN) sigaction(kEndingSignals[i], &restore, nullptr);",
      "if (previous_[i].sa_handler == SIG_IGN) sigaction(kEndingSignals[i], &restore, nullptr);",
      "a signal at the password prompt leaves the terminal's echo off", "auth"),
    F("admin-unknown-name-fast", "simulator/admin_accounts.cc",
      "  const char* setting = known ? stored->c_str() : dummy.get();\n  if (setting == nullptr) return false;",
      "  const char* setting = known ? stored->c_str() : dummy.get();\n  if (setting == nullptr || !known) return false;",
      "a name without an account is refused without the hashing, so the time tells", "auth"),
    F("machine-never-terminates", "simulator/machine.cc",
      "  } else if (!shouldExist) {",
      "  } else if (false) {",
      "a pulled card's media service stays published", "sim"),
    F("diskutil-ignores-busy", "simulator/diskutil_tool.cc",
      "  if (state.busy) {",
      "  if (false) {",
      "the stand-in disk tool ejects a busy volume", "sim"),
    F("kext-without-privileges", "simulator/kext_tools.cc",
      "  if (!startedWithPrivileges(paths->root())) {",
      "  if (false) {",
      "the stand-in kext tools run without the privilege token", "sim"),
    F("admin-any-password", "simulator/admin_accounts.cc",
      "&& equalInConstantTime(*stored, hash);",
      "&& (equalInConstantTime(*stored, hash) || true);",
      "any password is accepted for an administrator", "auth"),
    F("admin-drops-other-accounts", "simulator/admin_accounts.cc",
      '      kept += line + "\\n";\n',
      "",
      "setting one administrator's password removes every other account", "auth"),
    F("registry-first-match-highest", "simulator/registry_store.cc",
      "if (id && regular && (!lowest || *id < *lowest)) lowest = id;",
      "if (id && regular && (!lowest || *id > *lowest)) lowest = id;",
      "the first match is the newest service rather than the oldest", "sim"),

    # ---- platform/linux ----
    F("host-first-match-newest", "platform/linux/registry.cc",
      "std::tie(first->initialized, first->sysPath) < std::tie(disk.initialized, disk.sysPath)",
      "std::tie(first->initialized, first->sysPath) > std::tie(disk.initialized, disk.sysPath)",
      "the host's first match is the newest card reader's disk, not the oldest", "linux", ("host",)),
    F("host-empty-reader-matches", "platform/linux/registry.cc",
      "    if (hasMedium(sysPath)) first = &disk;",
      "    first = &disk;",
      "a card reader without a card matches", "linux", ("host",)),
    F("host-termination-repeated", "platform/linux/registry.cc",
      "    registration->delivered = true;\n",
      "",
      "a watch is told of its disk's end more than once", "linux", ("host",)),
    F("host-earlier-removal-ends-watch", "platform/linux/registry.cc",
      "  return initialized == 0 || initialized == disk.initialized;",
      "  return initialized == 0 || initialized == disk.initialized || true;",
      "an earlier device's removal at the same udev path ends the watch on the disk there now", "linux", ("host",)),
    F("host-removed-device-remembered", "platform/linux/registry.cc",
      "      applied_.erase(sysPath);",
      "      applied_[sysPath] = sequence;",
      "the udev registry keeps a record of every device it ever saw", "linux", ("host",)),
    F("host-appeared-card-not-delivered", "platform/linux/registry_matching.cc",
      "  registration.appeared.push_back(*now);",
      "",
      "the udev registry never tells that a card's disk began to match", "host", ("host",)),
    F("host-late-watch-not-woken", "platform/linux/registry.cc",
      "    registration->ended = true;\n    target->wake();",
      "    registration->ended = true;",
      "a disk gone before its watch was registered is never reported", "linux", ("host",)),
    F("diskutil-busy-not-retried", "platform/linux/diskutil/eject.cc",
      "    if (classify(result) == Outcome::kBusy) {",
      "    if (classify(result) == Outcome::kBusy && false) {",
      "pomrel-diskutil gives up at once on a volume busy for a moment", "linux", ("host",)),
    F("diskutil-not-mounted-fails", "platform/linux/diskutil/eject.cc",
      "if (result.ok || result.errorName == udisks2::kErrorNotMounted) return Outcome::kDone;",
      "if (result.ok) return Outcome::kDone;",
      "a volume unmounted meanwhile makes the eject fail", "linux", ("host",)),
    F("diskutil-phrase-missing", "platform/linux/diskutil/eject.cc",
      '    errors << kEjectFailPhrase << "\\n" << describe(result) << "\\n";',
      '    errors << describe(result) << "\\n";',
      "a failed unmount does not write the phrase Pomrel looks for", "linux host", ("host",)),
    F("diskutil-holder-unnamed", "platform/linux/diskutil/eject.cc",
      "<< printable(name, '?') << \"\\n\";",
      "<< name.size() << \"\\n\";",
      "a busy volume's holder is not named", "linux host", ("host",)),
    F("diskutil-fixed-disk-ejected", "platform/linux/diskutil/eject.cc",
      "if (facts.underMarkedReader || (drive->mediaRemovable && drive->mediaAvailable)) {",
      "if (facts.underMarkedReader || (drive->mediaAvailable)) {",
      "a drive whose medium is not removable is ejected instead of powered off", "linux", ("host",)),
    F("diskutil-powers-off-under-reader", "platform/linux/diskutil/eject.cc",
      "if (facts.underMarkedReader || (drive->mediaRemovable && drive->mediaAvailable)) {",
      "if ((drive->mediaRemovable && drive->mediaAvailable)) {",
      "a drive under a marked reader is powered off, so Enable cannot bring it back", "linux"),
    F("diskutil-refusal-as-failure", "platform/linux/diskutil/eject.cc",
      "    return Outcome::kNotAuthorized;",
      "    return Outcome::kFailed;",
      "a refusal of udisks2 (not authorized) is reported as an unknown failure", "linux host",
      ("host",)),
    F("diskutil-unmarked-disk-ejected", "platform/linux/diskutil/eject.cc",
      "  if (!facts.isCard) {",
      "  if (false) {",
      "pomrel-diskutil ejects a disk that udev does not mark as the card's", "linux"),
    F("diskutil-mark-not-read", "platform/linux/diskutil/disk_facts.cc",
      "facts.isCard = disk.property(kServiceProperty) == kSxSMediaServiceName;",
      "facts.isCard = true;",
      "pomrel-diskutil takes any disk for the card, whatever udev says", "linux"),
    F("diskutil-reader-not-read", "platform/linux/diskutil/disk_facts.cc",
      'disk.parentWith("usb", "usb_interface").property(kReaderProperty) == "1" ||',
      "false ||",
      "pomrel-diskutil does not see the marked USB reader above the card", "linux"),
    F("diskutil-holders-ignored", "platform/linux/system_disk.cc",
      "    std::vector<std::string> pending = blockHolders(disk);",
      "    std::vector<std::string> pending;",
      "a system volume on LVM or MD above a disk does not make it the system's own", "linux"),
    F("diskutil-boot-efi-not-system", "platform/linux/system_disk.cc",
      '"/boot", "/boot/efi", "/usr"',
      '"/boot", "/usr"',
      "a disk holding /boot/efi is ejected", "linux"),
    F("system-home-not-system", "platform/linux/system_disk.cc",
      '"/var", "/home"};',
      '"/var"};',
      "pomrel-diskutil prints rules for the reader that holds /home", "linux"),
    F("system-holder-partitions-ignored", "platform/linux/system_disk.cc",
      'udev.blockDevicesBelow(udev.device("block", holder))',
      'udev.wholeDisksWithProperty("DEVNAME")',
      "the system on a partition of an array built on a disk does not make it the system's",
      "linux"),
    F("system-swap-ignored", "platform/linux/system_disk.cc",
      '      return "active swap";',
      "      return {};",
      "a disk with the system's active swap is ejected, marked or stopped", "linux"),
    F("system-zfs-ignored", "platform/linux/system_disk.cc",
      'if (!pools_.empty() && block.property("ID_FS_TYPE") == "zfs_member") {',
      "if (false) {",
      "a disk of the ZFS pool that holds / does not count as the system's", "linux"),
    F("system-zfs-any-pool", "platform/linux/system_disk.cc",
      "if (label.empty()) {",
      "if (true) {",
      "a disk of any ZFS pool counts as the system's while / is on ZFS", "linux"),
    F("system-btrfs-second-device-ignored", "platform/linux/system_disk.cc",
      'if (block.property("ID_FS_TYPE") == "btrfs") {',
      "if (false) {",
      "a second device of the btrfs filesystem holding / does not count as the system's", "linux"),
    F("diskutil-system-ejected", "platform/linux/diskutil/eject.cc",
      "  if (!facts.system.empty()) {",
      "  if (false) {",
      "pomrel-diskutil ejects the system's own disk", "linux"),
    F("diskutil-system-not-read", "platform/linux/diskutil/disk_facts.cc",
      "facts.system = systemUseBelow(udev, disk, system).what;",
      "facts.system = systemUseBelow(udev, disk, system).what.substr(0, 0);",
      "pomrel-diskutil never learns that a disk holds the system", "linux"),
    F("reader-system-stopped", "platform/linux/driverctl/reader_control.cc",
      "    if (const SystemUse use = systemUseBelow(",
      "    if (const SystemUse use = SystemUse(); use && systemUseBelow(",
      "the driver control stops a reader under the system's swap", "linux"),
    F("rule-serial-padded", "platform/linux/diskutil/rule.cc",
      '  value.erase(value.find_last_not_of(" \\t\\n\\r") + 1);\n  std::string match;',
      "  std::string match;",
      "a printed rule keeps a padded serial number's spaces, which udev drops, so it never matches",
      "linux"),
    F("rule-pci-any-slot", "platform/linux/diskutil/rule.cc",
      'reader = "SUBSYSTEM==\\"pci\\", KERNEL" + slot + attributeMatch',
      'reader = "SUBSYSTEM==\\"pci\\"" + attributeMatch',
      "a printed PCI rule marks every identical function", "linux"),
    F("rule-twins-unchecked", "platform/linux/diskutil/rule.cc",
      "    matched = sameUsbDevices(udev, usb);",
      "    matched = sameUsbDevices(udev, usb);\n    matched.resize(1);",
      "rules that also match a twin reader holding the system are printed", "linux"),
    F("package-replays-every-device", "debian/postinst",
      '[ $# -eq 0 ] || udevadm trigger --action=change "$@"',
      "udevadm trigger --action=change --subsystem-match=block --subsystem-match=usb",
      "installing the package reruns every disk's and USB device's rules", "linux"),
    F("package-removal-replays-nothing", "debian/postrm",
      "\treplay || true\n",
      "",
      "removing the package leaves the readers' marks until the next reboot", "linux"),

    F("helper-serves-another-module", "platform/linux/driverctl/request_server.cc",
      "  if (line == kLoadRequest) return Request::kLoad;",
      "  if (line.starts_with(kLoadRequest)) return Request::kLoad;",
      "the privileged helper serves a request that names a second module", "linux", ("host",)),
    F("helper-request-unbounded", "platform/linux/driverctl/request_server.cc",
      "    if (held_.size() <= kMaxRequestLength) return std::nullopt;",
      "    return std::nullopt;",
      "the privileged helper holds a request line without end", "linux", ("host",)),
    F("helper-caller-unchecked", "platform/linux/driverctl/driverctl_main.cc",
      "  if (!servesCaller(::getuid(), ::geteuid(), caller ? caller->c_str() : nullptr,",
      "  if (false && !servesCaller(::getuid(), ::geteuid(), caller ? caller->c_str() : nullptr,",
      "the privileged helper serves a caller other than the user pkexec names", "host", ("host",)),
    F("helper-answer-unbounded", "platform/linux/driverctl/request_server.cc",
      "    const int ready = ::poll(&watch, 1, millisecondsUntil(deadline));",
      "    const int ready = ::poll(&watch, 1, deadline > SteadyClock::time_point() ? -1 : 0);",
      "the privileged helper waits for ever to write an answer its caller never reads", "linux"),
    F("helper-uid-fallback", "platform/linux/driverctl/helper_start.cc",
      [("effectiveUid != 0 || pkexecUid == nullptr) return false;", "effectiveUid != 0) return false;"),
       ("parseUid(pkexecUid);", "pkexecUid != nullptr ? parseUid(pkexecUid) : realUid;")],
      None,
      "the privileged helper started without pkexec serves its real user", "linux"),
    F("helper-setuid-serves", "platform/linux/driverctl/helper_start.cc",
      "  if (realUid != 0 || effectiveUid != 0 ||",
      "  if ((realUid != 0 && false) || effectiveUid != 0 ||",
      "a setuid copy of the privileged helper serves the user who runs it", "linux"),
    F("helper-no-close-fallback", "platform/linux/driverctl/helper_start.cc",
      "  if (closeRange(static_cast<unsigned>(first), ~0U, 0) == 0) return true;",
      "  if (closeRange(static_cast<unsigned>(first), ~0U, 0) == 0) return true;\n  if (errno == ENOSYS) return false;",
      "the privileged helper fails at start on a kernel without close_range", "linux"),
    F("reader-stray-mark-stopped", "platform/linux/udev_device.cc",
      '    if ((subsystem == "usb" && type == "usb_interface") || subsystem == "pci") {',
      "    if (true) {",
      "the driver control stops a marked device that is no USB interface or PCI function", "linux"),
    F("reader-stray-mark-refuses", "platform/linux/driverctl/reader_control.cc",
      "  for (const std::string& ignored : marked.ignored) {\n",
      "  if (!marked.ignored.empty()) return {};\n  for (const std::string& ignored : marked.ignored) {\n",
      "one stray mark keeps every reader from being stopped and started", "linux"),
    F("reader-in-use-stopped", "platform/linux/driverctl/disk_claims.cc",
      "    if (fd >= 0 || fd == -ENOMEDIUM) continue;",
      "    if (true) continue;",
      "the driver control stops a reader whose card the kernel says is in use", "linux"),
    F("reader-empty-slot-refused", "platform/linux/driverctl/disk_claims.cc",
      "    if (fd >= 0 || fd == -ENOMEDIUM) continue;",
      "    if (fd >= 0) continue;",
      "a reader with an empty slot cannot be stopped", "linux"),
    F("reader-claims-released-early", "platform/linux/driverctl/reader_control.cc",
      "  HeldClaims claims;\n  std::string inUse = claims.claimAll(",
      "  std::string inUse = HeldClaims().claimAll(",
      "the claims are let go before the unbinds, so the card can be mounted in between", "linux"),
    F("reader-card-disk-unchecked", "platform/linux/driverctl/reader_control.cc",
      "  for (UdevDevice& disk : udev.wholeDisksWithProperty(kServiceProperty)) {",
      "  for (UdevDevice& disk : std::vector<UdevDevice>()) {",
      "a card's virtual disk (no reader above it in sysfs) is stopped while mounted", "linux"),
    F("reader-in-use-partition-unnamed", "platform/linux/driverctl/disk_claims.cc",
      "        used = &part;\n",
      "",
      "the refusal names the disk, not its partition in use, so no mount point is told", "linux"),
    F("reader-swap-unnamed", "platform/linux/driverctl/disk_claims.cc",
      '    if (swaps_.nodes.contains(device.devNode())) return ": swap";',
      '    if (false) return ": swap";',
      "a card in use as swap is refused without saying so", "linux"),
    F("reader-holders-ignored", "platform/linux/driverctl/disk_claims.cc",
      "    const std::vector<std::string> holders = holdersOf(device.sysPath());",
      "    const std::vector<std::string> holders;",
      "the refusal does not name the volume built on the card", "linux"),
    F("reader-holder-partitions-ignored", "platform/linux/driverctl/disk_claims.cc",
      "        const std::string told = direct(part);",
      "        const std::string told = part.sysName() == holder ? direct(part) : \"\";",
      "the refusal does not name the mounted partition of a volume built on the card", "linux"),
    F("reader-no-unbind-unexplained", "platform/linux/driverctl/reader_control.cc",
      '        ::access((reader.device.sysPath() + "/driver/unbind").c_str(), F_OK) != 0) {',
      '        false) {',
      "a driver without an unbind file is told as a failed write", "linux"),
    F("claim-not-exclusive", "platform/linux/driverctl/disk_claims.cc",
      "O_RDONLY | O_EXCL | O_CLOEXEC | O_NOCTTY",
      "O_RDONLY | O_CLOEXEC | O_NOCTTY",
      "the disk is opened without claiming it, so a disk in use counts as free", "host", ("host",)),
    F("reader-mount-source-ignored", "platform/linux/mount_table.cc",
      "  if (points.empty() && !device.devNode().empty()) {",
      "  if (false) {",
      "a filesystem mounted with a number of its own (btrfs) does not count as mounted", "linux"),
    F("reader-start-not-awaited", "platform/linux/driverctl/reader_control.cc",
      "    while (!bound(udev, *reader)) {",
      "    while (false) {",
      "the start answers ok before the kernel has bound the reader", "linux"),
    F("host-auth-any-plugin", "platform/linux/authorization.cc",
      "      pluginPath_ != arguments[0] || arguments[1] != nullptr) {",
      "      arguments[1] != nullptr) {",
      "the host authorization sends a request for a plug-in it was not made for", "linux", ("host",)),
    F("host-auth-dismissed-is-denied", "platform/linux/pkexec_helper.cc",
      "(WIFEXITED(status) && WEXITSTATUS(status) == kPkexecDismissed)) {",
      "(WIFEXITED(status) && WEXITSTATUS(status) == kPkexecDismissed + 1000)) {",
      "a dismissed administrator prompt is reported as a refusal", "linux", ("host",)),
    F("host-auth-no-agent-is-denied", "platform/linux/pkexec_helper.cc",
      '{"No authentication agent found", errAuthorizationNoAgent},',
      '{"No authentication agent found", errAuthorizationDenied},',
      "pkexec without a polkit agent counts as a refusal, so nobody is told why nothing happens", "linux", ("host",)),
    F("host-pkexec-text-prompt", "platform/linux/pkexec_helper.cc",
      "{program.data(), noTextPrompt.data(), helperArgument.data(),",
      "{program.data(), helperArgument.data(),",
      "pkexec may try a text prompt, which fails on a desktop without naming the missing agent", "linux", ("host",)),
    F("host-auth-no-bus-is-denied", "platform/linux/pkexec_helper.cc",
      '{"Error getting authority", errAuthorizationServiceUnavailable},',
      '{"Error getting authority", errAuthorizationDenied},',
      "pkexec with no system bus counts as a refusal, so nobody is told polkit is unreachable", "linux"),
    F("host-auth-refusal-first-line", "platform/linux/pkexec_helper.cc",
      "return {refusal.cause, line};",
      "return {refusal.cause, first};",
      "the diagnostic names pkexec's first line (a blank or a GLib warning), not its refusal", "linux"),
    F("host-answer-reason-dropped", "platform/linux/pkexec_helper.cc",
      "results_.push_back({1, std::move(line)});",
      "results_.push_back({1, {}});",
      "the helper's reason for an error answer is lost, so a failed Start cannot say why", "linux", ("host",)),
    F("host-close-keeps-watched-socket", "platform/linux/pkexec_helper.cc",
      "  if (channel_.valid()) ::shutdown(channel_.get(), SHUT_RDWR);\n",
      "",
      "a pending load's watch keeps the helper's input open, so the helper outlives its session", "linux"),
    F("host-auth-no-helper-restart", "platform/linux/authorization.cc",
      "    ending_.push_back(std::exchange(session->helper, nullptr));\n",
      "    return errAuthorizationToolExecuteFailure;\n    ending_.push_back(std::exchange(session->helper, nullptr));\n",
      "a helper that ended when idle is not started again for the next command", "linux", ("host",)),
    F("autostart-exec-unescaped", "platform/linux/autostart.cc",
      "    if (c == '\"' || c == '`' || c == '$' || c == '\\\\') quoted += '\\\\';",
      "    if (c == '\"') quoted += '\\\\';",
      "our autostart entry's Exec leaves $, ` and \\ to the shell", "linux"),
    F("autostart-hidden-counts", "platform/linux/autostart.cc",
      '  if (value("Hidden") == "true") return std::nullopt;\n',
      "",
      "a hidden autostart entry counts as listed", "linux"),
    F("autostart-switched-off-counts", "platform/linux/autostart.cc",
      '  if (value("X-GNOME-Autostart-enabled") == "false") return std::nullopt;\n',
      "",
      "an autostart entry switched off in the session settings counts as listed", "linux"),
    F("autostart-entry-unlocalized", "platform/linux/autostart.cc",
      'line.substr(0, line.find_first_of("[="))',
      "line.substr(0, line.find('='))",
      "our autostart entry shows Pomrel's comment in English only", "linux"),
    F("strings-key-missing", "resources/de.lproj/Localizable.strings",
      "\t<key>MENU_Quit</key>\n\t<string>Pomrel beenden</string>\n",
      "",
      "a language's table lacks a key, so that language shows the English text", "qt"),
    F("strings-french-plain-space", "resources/fr.lproj/Localizable.strings",
      "<string>Nom\u00a0:</string>",
      "<string>Nom :</string>",
      "a French text breaks its line before its colon", "qt"),
    F("strings-straight-apostrophe", "resources/fr.lproj/Localizable.strings",
      "Aucun agent d’authentification",
      "Aucun agent d'authentification",
      "a text falls back to the typewriter apostrophe", "qt"),
    F("host-plugin-is-a-file", "platform/linux/file_manager.cc",
      "? readerServed() : moduleKnown();",
      "? readerServed() : readerServed();",
      "the driver plug-in is looked for as a marked reader, not as the module the build names", "linux"),
    F("host-plugin-any-reader", "platform/linux/file_manager.cc",
      "    return module_.empty() ? readerServed()",
      "    return module_.empty() ? true",
      "the driver plug-in counts as installed with no marked reader connected", "linux"),
    F("host-plugin-no-driver-counts", "platform/linux/file_manager.cc",
      '  return aliasMatches(index + "/modules.alias", modaliases) ||',
      '  return true ||',
      "a marked reader that no driver can take counts as the driver installed", "linux"),
    F("host-plugin-alias-pattern-unread", "platform/linux/file_manager.cc",
      "      if (::fnmatch(pattern.c_str(), modalias.c_str(), 0) == 0) return true;",
      "      if (pattern == modalias) return true;",
      "a stopped reader whose module the index names by pattern counts as not installed", "linux"),
    F("host-module-index-unread", "platform/linux/file_manager.cc",
      '  return indexNames(index + "/modules.builtin", module) ||\n         indexNames(index + "/modules.dep", module);',
      '  return indexNames(index + "/modules.builtin", module);',
      "a module that is neither loaded nor built in counts as unknown", "linux"),

    # ---- platform/qt ----
    F("runloop-never-held", "platform/qt/qt_run_loop.cc",
      [("  if (nonDefaultDepth_++ == 0) setNotifiersEnabled(false);", "  ++nonDefaultDepth_;"),
       ("  if (!inDefaultMode()) {", "  if (false) {")],
      None,
      "sources fire while the run loop is held by a menu or modal window", "qt"),
    F("runloop-new-source-not-held", "platform/qt/qt_run_loop.cc",
      [("  notifier->setEnabled(inDefaultMode());", "  notifier->setEnabled(true);"),
       ("  if (!inDefaultMode()) {", "  if (false) {")],
      None,
      "a source added while the run loop is held fires at once", "qt"),
    F("runloop-never-released", "platform/qt/qt_run_loop.cc",
      "  if (--nonDefaultDepth_ == 0) setNotifiersEnabled(true);",
      "  --nonDefaultDepth_;",
      "sources stay disarmed after the menu or modal window closes", "qt"),
    F("menu-not-validated-on-show", "platform/qt/qt_menu.cc",
      "showConnection_ = connect(menu, &QMenu::aboutToShow, this, [this] { validate(); });",
      "showConnection_ = connect(menu, &QMenu::aboutToShow, this, [] {});",
      "the menu's items are not validated as it opens", "e2e", ("e2e",)),
    F("menu-does-not-hold", "platform/qt/qt_menu.cc",
      "    runLoop_->enterNonDefaultMode();\n    holdingMode_ = true;",
      "    holdingMode_ = true;",
      "an open menu does not hold sources back", "qt"),
    F("alert-does-not-hold", "platform/qt/qt_application.cc",
      "  NonDefaultModeScope modal(runLoop_);\n  box.exec();",
      "  box.exec();",
      "an alert on screen does not hold sources back", "qt"),
    F("icon-always-highlighted", "platform/qt/qt_status_bar.cc",
      "tintedIcon(*image_, QApplication::palette(), drawnHighlighted_)",
      "tintedIcon(*image_, QApplication::palette(), highlight_)",
      "the icon is drawn highlighted while the menu is closed", "e2e", ("e2e",)),
    F("right-click-ignored", "platform/qt/qt_status_bar.cc",
      "if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::Context) return;",
      "if (reason != QSystemTrayIcon::Trigger) return;",
      "a right click on the icon does not open the menu", "e2e", ("e2e",)),
    F("wayland-menu-window", "platform/qt/qt_status_bar.cc",
      '  if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) return;\n',
      "",
      "on Wayland a panel's Activate opens the menu as a window of its own", "e2e", ("e2e",)),
    F("item-not-its-menu", "platform/qt/qt_item_menu.cc",
      "bool itemIsMenu() const { return tray_.contextMenu() != nullptr; }",
      "bool itemIsMenu() const { return false; }",
      "the status notifier item does not say it is its menu: a left click sends Activate",
      "e2e", ("e2e",)),
    F("prompt-tiled", "platform/qt/qt_credentials_prompt.cc",
      "  layout->setSizeConstraint(QLayout::SetFixedSize);\n",
      "",
      "the administrator prompt is tiled over the screen by a tiling compositor", "e2e",
      ("e2e",)),
    F("checkbox-mixed-off", "platform/qt/qt_window.cc",
      "      return NSControlStateValueMixed;",
      "      return NSControlStateValueOff;",
      "the check box's mixed state reads as off", "auth qt"),
    F("loader-skips-validation", "platform/qt/interface_loader.cc",
      "    if (QtMenuItem* item = menu_->itemFor(action)) item->setValidated(true);\n",
      "",
      "the controller's menu items are never validated", "e2e", ("e2e",)),
    F("main-interface-ignored", "platform/qt/application_main.cc",
      'QString::fromStdString(*mainInterface) + QStringLiteral(".ui");',
      'QStringLiteral("MainMenu.ui");',
      "the interface resource is not the one Info.plist names", "qt"),
    F("development-region-ignored", "platform/qt/qt_bundle.cc",
      '  folders << development + QStringLiteral(".lproj");',
      '  folders << QString::fromLatin1(kDefaultDevelopmentLanguage) + QStringLiteral(".lproj");',
      "texts fall back to English, not to the bundle's development region", "qt"),
    F("second-instance-runs", "platform/qt/application_main.cc",
      "  if (instance.anotherIsRunning()) {",
      "  if (false) {",
      "a second Pomrel starts for a machine that has one", "qt"),
    F("second-start-not-announced", "platform/qt/application_main.cc",
      "    instance.askRunningToShow();\n",
      "",
      "a second start leaves the running Pomrel unseen", "qt e2e", ("e2e",)),
    F("second-start-window-not-reset", "platform/qt/application_main.cc",
      "  controller.w0_OrderFront(nullptr);\n}",
      "  controller.w0_Window->makeKeyAndOrderFront(nullptr);\n}",
      "the window a second start opens shows the box as last left, not the setting", "e2e",
      ("e2e",)),
    F("second-start-over-prompt", "platform/qt/application_main.cc",
      "  if (QWidget* modal = QApplication::activeModalWidget()) {",
      "  if (QWidget* modal = nullptr) {",
      "a second start opens the preferences window over the prompt that waits", "e2e",
      ("e2e",)),
    F("show-request-before-launch-lost", "platform/qt/single_instance.cc",
      "    if (pending_ && show_) show_();\n",
      "",
      "a second start that comes while Pomrel launches is never answered", "qt"),
    F("no-status-area-alert-never-shown", "platform/qt/status_area_alert.cc",
      "  box_->show();\n",
      "",
      "a desktop with no status area leaves the person with nothing on screen", "e2e",
      ("e2e",)),
    F("no-status-area-alert-unfocused", "platform/qt/status_area_alert.cc",
      "  box_->activateWindow();\n",
      "",
      "the alert that no status icons show does not take the focus", "e2e", ("e2e",)),
    F("no-status-area-alert-despite-tray", "platform/qt/status_area_alert.cc",
      "  if (hasStatusArea()) return;\n",
      "",
      "a tray that came up within the grace still gets the no-status-area alert", "e2e",
      ("e2e",)),
    F("wayland-icon-made-before-host", "platform/qt/qt_status_bar.cc",
      "  if (QGuiApplication::platformName() == QLatin1String(\"xcb\")) {",
      "  if (true) {",
      "on Wayland the icon is made before a panel exists, and never shows when one starts",
      "e2e", ("e2e",)),
    F("single-instance-shared-runtime-trusted", "platform/qt/single_instance.cc",
      "      folder.st_uid != ::geteuid() || (folder.st_mode & 077) != 0) {",
      "      false) {",
      "the one-instance lock is kept in a runtime folder that others share", "qt"),
    F("single-instance-failed-lock-passes", "platform/qt/single_instance.cc",
      "  if (lock_.valid() && ::flock(lock_.get(), LOCK_EX | LOCK_NB) == 0) return;",
      "  if (!lock_.valid() || ::flock(lock_.get(), LOCK_EX | LOCK_NB) == 0) return;",
      "a lock file that cannot be opened counts as no other Pomrel", "qt"),
    F("sigterm-not-handled", "platform/qt/application_main.cc",
      "  ::sigaction(SIGTERM, &action, nullptr);\n",
      "",
      "SIGTERM ends Pomrel without the controller's clean-up", "qt"),
    F("prompt-cancel-is-answer", "platform/qt/qt_credentials_prompt.cc",
      "  if (result != QDialog::Accepted) {",
      "  if (result == QDialog::Accepted + 1) {",
      "a cancelled administrator prompt is taken as an answer", "qt"),
]


def fault_by_id() -> dict[str, Fault]:
    ids = {}
    for fault in FAULTS:
        if fault.id in ids:
            sys.exit(f"duplicate fault id {fault.id}")
        ids[fault.id] = fault
    return ids


def problems_of(fault: Fault) -> list[str]:
    path = ROOT / fault.file
    if not path.is_file():
        return [f"{fault.file} does not exist"]
    text = path.read_text()
    found = []
    for old, _ in fault.subs:
        n = text.count(old)
        if n != 1:
            found.append(f"{fault.file}: the text occurs {n} times: {old.strip()[:70]!r}")
    return found


def mutated(fault: Fault, text: str) -> str:
    for old, new in fault.subs:
        text = text.replace(old, new, 1)
    return text


def restore_from_journal() -> None:
    if not JOURNAL.exists():
        return
    entry = json.loads(JOURNAL.read_text())
    path = ROOT / entry["file"]
    path.write_text(entry["original"])
    JOURNAL.unlink()
    print(f"restored {entry['file']} from an interrupted run", file=sys.stderr)


class Applied:
    """The fault is in its file while inside the block, and never after it."""

    def __init__(self, fault: Fault):
        self.fault = fault
        self.path = ROOT / fault.file

    def __enter__(self):
        original = self.path.read_text()
        JOURNAL.write_text(json.dumps({"file": self.fault.file, "original": original}))
        self.original = original
        self.path.write_text(mutated(self.fault, original))
        return self

    def __exit__(self, *exc):
        self.path.write_text(self.original)
        JOURNAL.unlink(missing_ok=True)
        return False


def environment() -> dict[str, str]:
    env = dict(os.environ)
    env.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
    env.setdefault("CCACHE_BASEDIR", str(ROOT.parent))
    env.setdefault("QT_QPA_PLATFORM", "offscreen")
    return env


# Set by --labels: run only these suites (a quick check while editing them).
ONLY: list[str] = []


def labels_of(fault: Fault | None) -> list[str]:
    if ONLY:
        return ONLY
    return FAST + (list(fault.extra) if fault else [])


def build(labels: list[str], log) -> bool:
    targets = sorted({t for label in labels for t in TARGETS.get(label, [])})
    command = ["cmake", "--build", "--preset", "dev", "-j2", "--target", *targets]
    done = subprocess.run(command, cwd=ROOT, env=environment(), stdout=log, stderr=subprocess.STDOUT)
    return done.returncode == 0


def run_tests(labels: list[str], log) -> list[str]:
    """The names of the failed tests (empty when all passed)."""
    if ONLY:
        groups = [["-L", "^(" + "|".join(ONLY) + ")$"]]
    else:
        groups = [["-LE", EXCLUDED_FROM_FAST]]
        groups += [["-L", f"^{label}$"] for label in labels if label not in FAST]
    failed: list[str] = []
    for group in groups:
        command = ["ctest", "--preset", "dev", *group, "-j2", "--timeout", "60"]
        done = subprocess.run(command, cwd=ROOT, env=environment(), stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, errors="replace")
        log.write(done.stdout)
        names = re.findall(r"^\s*\d+ - (\S+) \(", done.stdout, re.M)
        if done.returncode != 0 and not names:
            names = ["(ctest failed: see the log)"]
        failed += names
    return failed


def command_run(args) -> int:
    faults = fault_by_id()
    chosen = [faults[i] for i in args.ids] if args.ids else FAULTS
    bad = [p for fault in chosen for p in problems_of(fault)]
    if bad:
        print("\n".join(bad), file=sys.stderr)
        return 2
    LOGS.mkdir(parents=True, exist_ok=True)
    results = {}
    if args.output and Path(args.output).exists() and args.ids:
        results = json.loads(Path(args.output).read_text())

    with open(LOGS / "baseline.log", "w") as log:
        labels = sorted({label for fault in chosen for label in labels_of(fault)})
        if not build(labels, log):
            print("the unchanged tree does not build: see build/dev/faults/baseline.log")
            return 2
        failed = run_tests(labels, log)
        if failed:
            print("the unchanged tree fails: " + ", ".join(failed))
            return 2

    for fault in chosen:
        started = time.monotonic()
        with open(LOGS / f"{fault.id}.log", "w") as log, Applied(fault):
            if not build(labels_of(fault), log):
                outcome = {"result": "build error", "failed": []}
            else:
                failed = run_tests(labels_of(fault), log)
                outcome = {"result": "caught" if failed else "NOT caught", "failed": failed}
        outcome["seconds"] = round(time.monotonic() - started)
        results[fault.id] = outcome
        shown = ", ".join(outcome["failed"][:4]) + (" ..." if len(outcome["failed"]) > 4 else "")
        print(f"{fault.id:45} {outcome['result']:10} {shown}", flush=True)
        if args.output:
            Path(args.output).write_text(json.dumps(results, indent=1))
    # Leave the build matching the restored sources.
    with open(LOGS / "restored.log", "w") as log:
        build(sorted({label for fault in chosen for label in labels_of(fault)}), log)
    missed = [i for i, r in results.items() if r["result"] != "caught"]
    print(f"{len(results) - len(missed)} of {len(results)} caught" +
          (": not caught " + ", ".join(missed) if missed else ""))
    return 1 if missed else 0


def command_table(args) -> int:
    columns = [json.loads(Path(p).read_text()) for p in args.results]
    mark = {"caught": "yes", "NOT caught": "**no**", "build error": "build error"}
    heads = ["before", "after"][: len(columns)]
    print("| fault | file | " + " | ".join(f"caught {h}" for h in heads) + " |")
    print("|---|---|" + "---|" * len(columns))
    for fault in FAULTS:
        cells = [mark.get(c.get(fault.id, {}).get("result"), "not run") for c in columns]
        print(f"| {fault.what} | {fault.file} | " + " | ".join(cells) + " |")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("list")
    sub.add_parser("check")
    run = sub.add_parser("run")
    run.add_argument("-o", "--output", help="where to write the results (JSON)")
    run.add_argument("-L", "--labels", help="run only the suites of these labels, comma-separated")
    run.add_argument("ids", nargs="*")
    table = sub.add_parser("table")
    table.add_argument("results", nargs="+")
    args = parser.parse_args()

    fault_by_id()
    if args.command == "list":
        for fault in FAULTS:
            print(f"{fault.id:45} {fault.file:40} {fault.expect:20} {fault.what}")
        return 0
    if args.command == "check":
        bad = [p for fault in FAULTS for p in problems_of(fault)]
        print("\n".join(bad) if bad else f"all {len(FAULTS)} faults apply")
        return 1 if bad else 0
    if args.command == "table":
        return command_table(args)

    # Turn termination into an exception, so that the fault is taken out.
    def stop(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGHUP, stop)
    restore_from_journal()
    if args.labels:
        ONLY.extend(args.labels.split(","))
    return command_run(args)


if __name__ == "__main__":
    sys.exit(main())
