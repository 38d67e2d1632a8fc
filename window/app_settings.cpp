#include "app_settings.h"

#include <QSettings>
#include <cstring>

namespace {

QSettings Store() {
  return QSettings(QStringLiteral("updater"), QStringLiteral("updater"));
}

QString PortGroup(uint8_t port) {
  return QStringLiteral("COM%1/").arg(port);
}

}  // namespace

namespace AppSettings {

std::optional<QString> DeviceFor(uint8_t port) {
  const QString device = Store().value(PortGroup(port) + QStringLiteral("device")).toString();
  if (device.isEmpty()) return std::nullopt;
  return device;
}

void SetDeviceFor(uint8_t port, const QString& device) {
  QSettings store = Store();
  if (device.isEmpty()) {
    store.remove(PortGroup(port) + QStringLiteral("device"));
  } else {
    store.setValue(PortGroup(port) + QStringLiteral("device"), device);
  }
}

// The record is kept whole, as the dialog edits every field of it.
std::optional<Dcb> LineSettingsFor(uint8_t port) {
  const QByteArray bytes =
      QByteArray::fromHex(Store().value(PortGroup(port) + QStringLiteral("dcb")).toByteArray());
  if (bytes.size() != static_cast<qsizetype>(sizeof(Dcb))) return std::nullopt;
  Dcb dcb{};
  std::memcpy(&dcb, bytes.constData(), sizeof dcb);
  if (dcb.DCBlength != sizeof(Dcb) || dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 ||
      dcb.Parity > 4 || dcb.StopBits > 2) {
    return std::nullopt;
  }
  return dcb;
}

void SetLineSettingsFor(uint8_t port, const Dcb& dcb) {
  const QByteArray bytes(reinterpret_cast<const char*>(&dcb), sizeof dcb);
  Store().setValue(PortGroup(port) + QStringLiteral("dcb"), bytes.toHex());
}

QString Folder(const char* kind) {
  return Store().value(QStringLiteral("folders/") + QLatin1String(kind)).toString();
}

void SetFolder(const char* kind, const QString& folder) {
  Store().setValue(QStringLiteral("folders/") + QLatin1String(kind), folder);
}

bool VerifyAfterDownload() {
  return Store().value(QStringLiteral("verify-after-download"), true).toBool();
}

void SetVerifyAfterDownload(bool on) {
  Store().setValue(QStringLiteral("verify-after-download"), on);
}

QString Station() {
  return Store().value(QStringLiteral("records/station")).toString();
}

QString Operator() {
  return Store().value(QStringLiteral("records/operator")).toString();
}

QString LineDatabase() {
  return Store().value(QStringLiteral("records/line-database")).toString();
}

void SetRecordSettings(const QString& station, const QString& person, const QString& database) {
  QSettings store = Store();
  store.setValue(QStringLiteral("records/station"), station);
  store.setValue(QStringLiteral("records/operator"), person);
  store.setValue(QStringLiteral("records/line-database"), database);
}

}  // namespace AppSettings
