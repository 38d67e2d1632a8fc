// Device identities kept on this machine, so that an update interrupted after
// sector 1 (the device's identity block) was erased can still be finished:
// $XDG_STATE_HOME/updater/identities/ (else ~/.local/state/updater/...),
// one file per serial number and "last.json" for the last device read, each
// written whole or not at all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "firmware/identity.h"

struct SavedIdentity {
  DeviceIdentity Identity;
  std::vector<uint8_t> Block;  // the raw identity block as read, at most 4096 bytes
  std::string Time;            // when it was read, UTC, "2026-12-08 10:53:35"
  std::string Path;            // the file it came from
};

// The folder of the saved identities; empty when neither XDG_STATE_HOME nor
// HOME is an absolute path.
std::string IdentityFolder();

// Saves `identity` as last.json and, when it has a serial number, as
// serial-<n>.json in `folder` (IdentityFolder() when empty). False with the
// reason when it could not be written.
bool SaveIdentity(const DeviceIdentity& identity, const std::vector<uint8_t>& block,
                  std::string* why = nullptr, const std::string& folder = {});

// Reads one saved identity file; nothing (and the reason) when it is missing
// or not one.
std::optional<SavedIdentity> LoadIdentity(const std::string& path, std::string* why = nullptr);

// The identity saved last in `folder` (IdentityFolder() when empty).
std::optional<SavedIdentity> LastSavedIdentity(const std::string& folder = {});

// "DEMO165, hardware 1.0a, serial 4711, brand label DEMO-LABEL"
std::string DescribeIdentity(const DeviceIdentity& identity);
