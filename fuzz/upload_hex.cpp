// The conversion of the upload files: every character pair through
// HexPairValue against a model built on the standard library's own hex
// parsing, and then the whole upload of "connect" with the input as the two
// files, checking every byte that goes to the device.
//
// Input: [loader length 2, LE, modulo the text's length + 1] text...
#include <sys/stat.h>

#include <charconv>

#include "checked_fakes.h"
#include "firmware/identity.h"
#include "fuzz_support.h"
#include "session/session.h"

namespace {

// "0".."9", "a".."f", "A".."F" by from_chars; everything else counts 0.
uint8_t ModelDigit(char c) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(&c, &c + 1, value, 16);
  return error == std::errc() && end == &c + 1 ? static_cast<uint8_t>(value) : 0;
}

Bytes ModelUpload(std::string_view text) {
  Bytes bytes;
  for (size_t k = 0; k + 1 < text.size(); k += 2) {
    bytes.push_back(static_cast<uint8_t>(ModelDigit(text[k]) * 16 + ModelDigit(text[k + 1])));
  }
  return bytes;
}

void CheckPairs(std::string_view text) {
  for (size_t k = 0; k + 1 < text.size(); k += 2) {
    const uint8_t model = static_cast<uint8_t>(ModelDigit(text[k]) * 16 + ModelDigit(text[k + 1]));
    FUZZ_CHECK(HexPairValue(text[k], text[k + 1]) == model);
  }
  for (const char c : text) {
    FUZZ_CHECK(HexDigitValue(c) == ModelDigit(c));
    FUZZ_CHECK(Session::HexDigitValue(c) == ModelDigit(c));
  }
}

void CheckConnectUpload(const std::string& loader, const std::string& routine) {
  static const std::string dir = [] {
    const std::string made = ScratchDir() + "/upload";
    FUZZ_CHECK(::mkdir(made.c_str(), 0700) == 0);
    return made;
  }();
  WriteWholeFile(dir + "/Loader.hex", loader);
  WriteWholeFile(dir + "/F29f160d.hex", routine);

  CheckedPort port;
  CheckedObserver observer;
  Session session(port, observer);
  session.WorkingDirectory = dir;
  session.Pause = [](std::chrono::milliseconds) {};
  session.StartConnect();
  FUZZ_CHECK(port.Written == Bytes{0x00});  // the bootstrap start byte alone
  FUZZ_CHECK(session.SessionState() == Session::State::AwaitBootstrapAnswer);

  port.Arrived.push_back(0xD5);  // the loader's answer; any byte will do
  session.Comm1CharReceived(1);
  Bytes expected{0x00};
  Bytes loaderBytes = ModelUpload(loader);
  if (loaderBytes.size() < 32) loaderBytes.resize(32, 0x00);
  expected.insert(expected.end(), loaderBytes.begin(), loaderBytes.end());
  const Bytes routineBytes = ModelUpload(routine);
  expected.insert(expected.end(), routineBytes.begin(), routineBytes.end());
  FUZZ_CHECK(port.Written == expected);
  FUZZ_CHECK(session.SessionState() == Session::State::Idle);
  session.Shutdown();
  FUZZ_CHECK(observer.OpenJobs.empty());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SeqFile::DefaultOpenMode = FileOpenMode::ReadOnly;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader input({data, size});
  const uint16_t split = input.Word();
  const std::span<const uint8_t> rest = input.Rest();
  const std::string text(rest.begin(), rest.end());
  CheckPairs(text);
  const size_t loaderLength = text.empty() ? 0 : split % (text.size() + 1);
  CheckConnectUpload(text.substr(0, loaderLength), text.substr(loaderLength));
  return 0;
}
