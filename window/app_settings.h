// What the window remembers between runs, in the user's configuration folder
// (QSettings: ~/.config/updater/updater.conf on Linux).
#pragma once

#include <QString>
#include <cstdint>
#include <optional>

#include "comm_async/comm_types.h"

namespace AppSettings {

// The device file the operator chose for COM n in "setup"; nothing when none.
std::optional<QString> DeviceFor(uint8_t port);
void SetDeviceFor(uint8_t port, const QString& device);

// The line settings last confirmed for COM n.
std::optional<Dcb> LineSettingsFor(uint8_t port);
void SetLineSettingsFor(uint8_t port, const Dcb& dcb);

// The folder a file dialog of this kind opened last ("firmware",
// "destination", "log", "upload").
QString Folder(const char* kind);
void SetFolder(const char* kind, const QString& folder);

// "verify after download" in the service menu; on unless switched off.
bool VerifyAfterDownload();
void SetVerifyAfterDownload(bool on);

// What the window's records name and where they go (the service menu's
// "records..."): the station (empty: the host name), the operator (empty:
// the login) and the line database (a postgresql:// URL; empty: this
// computer's store alone).
QString Station();
QString Operator();
QString LineDatabase();
void SetRecordSettings(const QString& station, const QString& person, const QString& database);

}  // namespace AppSettings
