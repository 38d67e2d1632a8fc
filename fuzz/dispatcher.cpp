// The whole session under arbitrary device bytes. The input first sets the
// scene (port, device identity, upload files, sector table, the image that
// "download" will be given) and then is read as a list of steps: device bytes
// in chunks of any size, repeated words, button presses with the answers of
// their file dialogs, the port going away, comm errors. After every step the
// session must be in one piece.
//
// Input: [flags] [sector table pattern 4, LE] [list length (low 4 bits) % 9] sector list
// [image tail / 16] [size of "empty"], then steps, by first byte % 16:
//   0-6 device bytes: [length - 1] bytes      7 connect     8 verify hardware
//   9 download: [answer]    10 erase-only    11 read-back: [answer]
//   12 choose destination: [answer]           13 port: [what]
//   14 [what] activation / comm error [code 4] / comm event [4] [4]
//   15 repeat: [count - 1, 2] [unit length - 1] unit; one notification
//      for each unit, or with bit 4 of the step byte, one for all of them
// List length byte: bits 4-5 the image's kind, bit 6 device not identified.
// Flags: 1 port open, 2 opening succeeds, 4 image for this product, 8 device
// has a serial number, 16 device has a brand label, 32 upload files present,
// 64 window activated first, 128 no private place for the temporary image.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>

#include "fuzz_support.h"
#include "firmware/identity.h"
#include "session/session.h"
#include "session_fakes.h"

namespace {

struct Scene {
  std::string FilesDir;  // Loader.hex, F29f160d.hex and "empty"
  std::string BareDir;   // none of them
  std::string Image;
  std::string ShortImage;
  std::string MissingImage;
  std::string Destination;
  std::string UncreatableDestination;
  std::string TemporaryImage;
};

const Scene& TheScene() {
  static const Scene scene = [] {
    Scene s;
    const std::string& root = ScratchDir();
    s.FilesDir = root + "/files";
    s.BareDir = root + "/bare";
    FUZZ_CHECK(::mkdir(s.FilesDir.c_str(), 0700) == 0);
    FUZZ_CHECK(::mkdir(s.BareDir.c_str(), 0700) == 0);
    // 10 loader bytes (padded to 32 on the wire) and a 20-byte flash routine.
    WriteWholeFile(s.FilesDir + "/Loader.hex", std::string_view("FA00E6F0CAFE4a4A0d0a"));
    WriteWholeFile(s.FilesDir + "/F29f160d.hex",
                   std::string_view("00112233445566778899aabbccddeeff10203040"));
    s.Image = root + "/image.bin";
    s.ShortImage = root + "/short.bin";
    WriteWholeFile(s.ShortImage, Bytes(100, 0x42));
    s.MissingImage = root + "/no-such-image.bin";
    s.Destination = root + "/readback.2bf";
    s.UncreatableDestination = root + "/no-such-folder/readback.2bf";
    s.TemporaryImage = root + "/tmp.bin";
    return s;
  }();
  return scene;
}

Bytes Record(const char* tag, std::span<const uint8_t> value) {
  Bytes r(tag, tag + TagLength);
  r.push_back(static_cast<uint8_t>(value.size()));
  r.insert(r.end(), value.begin(), value.end());
  return r;
}

Bytes Record(const char* tag, std::string_view value) {
  return Record(tag, std::span(reinterpret_cast<const uint8_t*>(value.data()), value.size()));
}

void Put(Bytes& image, size_t at, const Bytes& what) {
  std::copy(what.begin(), what.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
}

// What kind of image "download" is given.
enum class ImageKind : uint8_t {
  Patchable,      // fits the device, identity block in order
  NoProductName,  // the window has no product name record
  NoBegin,        // the identity block has no begin record
  BlockTooLong,   // the block outgrows its storage once the device's values are in
};

// An image for the device "FUZZDEV" 1.0x whose window lists `sectors` (any
// numbers, as many as given), followed by `tail` bytes.
Bytes MakeImage(ImageKind kind, bool sameProduct, std::span<const uint8_t> sectors, size_t tail) {
  Bytes image(IdentityWindowOffset + 512 + tail);
  for (size_t k = 0; k < image.size(); ++k) image[k] = static_cast<uint8_t>(k % 251);
  constexpr uint32_t BlockAt = 8200;
  for (int k = 0; k < 4; ++k)
    image[IdentityOffsetPosition + k] = static_cast<uint8_t>(BlockAt >> (8 * k));
  Bytes block = kind == ImageKind::NoBegin ? Bytes() : Record(TagBegin, "");
  for (const Bytes& r : {Record(TagProductName, "FUZZDEV"), Record(TagHardwareVersion, "1.0b"),
                         Record(TagSerialNumber, "\x01\x02\x03\x04")}) {
    block.insert(block.end(), r.begin(), r.end());
  }
  // Empty hardware versions that each take the device's four characters.
  const int emptyRecords = kind == ImageKind::BlockTooLong ? 330 : 0;
  for (int k = 0; k < emptyRecords; ++k) {
    const Bytes r = Record(TagHardwareVersion, "");
    block.insert(block.end(), r.begin(), r.end());
  }
  const Bytes end = Record(TagEnd, "");
  block.insert(block.end(), end.begin(), end.end());
  Put(image, BlockAt, block);
  Bytes window = kind == ImageKind::NoProductName
                     ? Bytes()
                     : Record(TagProductName, sameProduct ? "FUZZDEV" : "OTHERDEV");
  for (const Bytes& r : {Record(TagHardwareVersion, "1.0c"), Record(TagSectorList, sectors)}) {
    window.insert(window.end(), r.begin(), r.end());
  }
  Put(image, IdentityWindowOffset, window);
  return image;
}

// Sector sizes the table is built from: odd, empty, negative and large ones.
constexpr int32_t SectorSizes[16] = {0,     2,     8,  1,     3, 64, 512, 4096,
                                     16384, 32768, -2, -4096, 6, 7,  128, 65536};

void InstallSectorTable(Session& session, uint32_t pattern) {
  uint32_t address = 0x4000;
  for (int i = 0; i < SectorTableSize; ++i) {
    SessionTestAccess::SectorStart(session)[i] = address;
    address += static_cast<uint32_t>(SectorSizes[(pattern >> (4 * (i % 8))) & 15]);
  }
}

// A table from the device may announce sectors of gigabytes, which is sound
// but would turn one input into hours of writing; the flash jobs then get a
// table of the harness instead.
void KeepTableSmall(Session& session, uint32_t pattern) {
  for (int i = 0; i + 1 < SectorTableSize; ++i) {
    const auto size = static_cast<int32_t>(session.SectorStart()[i + 1] - session.SectorStart()[i]);
    if (size > 65536) {
      InstallSectorTable(session, pattern);
      return;
    }
  }
}

std::optional<std::string> ReadBackAnswer(uint8_t how) {
  const Scene& scene = TheScene();
  switch (how % 4) {
    case 0:
      return std::nullopt;
    case 1:
      return scene.Destination;
    case 2:
      return scene.UncreatableDestination;
    default:
      return std::string("/dev/full");  // every write fails
  }
}

std::optional<std::string> DownloadAnswer(uint8_t how) {
  const Scene& scene = TheScene();
  switch (how % 4) {
    case 0:
      return std::nullopt;
    case 1:
      return scene.Image;
    case 2:
      return scene.MissingImage;
    default:
      return scene.ShortImage;  // shorter than the offset of the window
  }
}

// What one input may cost. A device can keep the session busy for as long as
// it likes (a stray byte per notification in a state that fails, sector-table
// exchanges that run dry and wait); beyond these the run ends, so that every
// input takes well under a second.
constexpr uint64_t MaxNotifications = 12000;
constexpr uint64_t MaxByteWaits = 64;
constexpr uint64_t MaxWrites = 4'000'000;
constexpr uint64_t MaxDeviceBytes = 1'000'000;

// With UPDATER_FUZZ_TRACE set, a run prints every step, the state after it
// and the whole log: the way to read what a saved input does.
const bool Trace = std::getenv("UPDATER_FUZZ_TRACE") != nullptr;

class Harness {
 public:
  Harness() : session_(port_, window_) {
    window_.KeepLog = Trace;
    port_.OnByteRead = [this] { EndBlock(); };
    port_.OnWrite = [this](uint8_t value) { SeeWrite(value); };
  }

  void Run(InputReader& input) {
    const Scene& scene = TheScene();
    const uint8_t flags = input.Byte();
    tablePattern_ = input.Long();
    const uint8_t listByte = input.Byte();
    const std::span<const uint8_t> sectors = input.Take((listByte & 0x0F) % 9);
    // The high bits of that byte: the image's kind, and whether the device
    // has been identified.
    imageKind_ = static_cast<ImageKind>((listByte >> 4) & 3);
    const bool identified = (listByte & 0x40) == 0;
    const uint8_t tail = input.Byte();
    const uint8_t emptySize = input.Byte();

    // The files of the jobs are written when a step first needs them.
    sameProduct_ = (flags & 0x04) != 0;
    sectors_.assign(sectors.begin(), sectors.end());
    tail_ = tail * 16u;
    emptySize_ = emptySize;
    RemoveFile(scene.TemporaryImage);

    port_.IsConnected = (flags & 0x01) != 0;
    port_.OpenSucceeds = (flags & 0x02) != 0;
    session_.WorkingDirectory = (flags & 0x20) ? scene.FilesDir : scene.BareDir;
    session_.TemporaryImagePath = (flags & 0x80) ? std::string() : scene.TemporaryImage;
    session_.SectorTableByteTimeout = std::chrono::milliseconds(1);
    session_.Pause = [](std::chrono::milliseconds) {};
    // Time moves only when the input says so: every run is repeatable.
    session_.Clock = [this] { return now_; };
    if (flags & 0x40) session_.FormActivate();
    // As if "verify hardware" had read a device FUZZDEV 1.0a.
    DeviceIdentity device;
    if (identified) {
      device.ProductName = "FUZZDEV";
      device.HardwareVersion = "1.0a";
    }
    device.SerialNumber = 0x0A0B0C0D;
    device.SerialNumberFound = (flags & 0x08) != 0;
    device.BrandLabel = (flags & 0x10) ? "BRAND" : "";
    session_.UseIdentity(device);
    InstallSectorTable(session_, tablePattern_);
    Check();

    for (int step = 0; step < 4000 && !input.Empty() && WithinBudget(); ++step) {
      const auto began = std::chrono::steady_clock::now();
      const bool more = Step(input);
      if (Trace) {
        const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - began);
        std::fprintf(stderr,
                     "step %d: state %d, sector %d, written %llu, file errors %zu, %lld us\n", step,
                     static_cast<int>(session_.SessionState()), session_.CurrentSector(),
                     static_cast<unsigned long long>(port_.WriteCount), window_.FileErrorCount,
                     static_cast<long long>(took.count()));
      }
      if (!more) break;
      Check();
    }
    session_.Shutdown();
    Check();
    FUZZ_CHECK(window_.OpenJobs.empty());
    if (Trace) {
      std::fprintf(stderr, "---- log\n%s\n---- warnings\n", window_.Log.c_str());
      for (const std::string& w : window_.Warnings) std::fprintf(stderr, "%s\n", w.c_str());
    }
  }

 private:
  bool WithinBudget() const {
    return notifications_ < MaxNotifications && byteWaits_ < MaxByteWaits &&
           port_.WriteCount < MaxWrites && deviceBytes_ < MaxDeviceBytes;
  }

  // Hands `bytes` to the port and raises one notification for them.
  void Deliver(std::span<const uint8_t> bytes) {
    port_.Incoming.insert(port_.Incoming.end(), bytes.begin(), bytes.end());
    const size_t fileErrorsBefore = window_.FileErrorCount;
    const uint64_t dryBefore = port_.DryReads;
    ++notifications_;
    deviceBytes_ += bytes.size();
    inDispatcher_ = true;
    fileErrorsAtBlock_ = window_.FileErrorCount;
    session_.Comm1CharReceived(static_cast<uint32_t>(port_.Incoming.size()));
    EndBlock();
    inDispatcher_ = false;
    if (port_.DryReads - dryBefore > 1) ++byteWaits_;
    // The dispatcher reads until the queue is empty, unless a file error
    // ended its pass.
    if (port_.IsConnected && window_.FileErrorCount == fileErrorsBefore) {
      FUZZ_CHECK(port_.Incoming.empty());
    }
    port_.Incoming.clear();
  }

  void Press(void (Session::*handler)(), std::optional<std::string> answer) {
    window_.DialogAnswers.clear();
    window_.DialogAnswers.push_back(std::move(answer));
    handlerWrites_.clear();
    (session_.*handler)();
    window_.DialogAnswers.clear();
    // A flash job that started has sent the erase command for its first
    // sector, and nothing after it.
    const bool flashJob = handler == &Session::Button4Click || handler == &Session::Button7Click;
    if (flashJob && session_.SessionState() == Session::State::AwaitEraseResult &&
        !handlerWrites_.empty()) {
      erased_.fill(false);
      programmed_.fill(false);
      FUZZ_CHECK(handlerWrites_.size() >= 2);
      FUZZ_CHECK(handlerWrites_[handlerWrites_.size() - 2] == '0');
      CheckSectorCommand(handlerWrites_.back(), erased_);
    }
  }

  // A sector named by an erase or program command: the current one, selected,
  // and not yet handled by this job.
  void CheckSectorCommand(uint8_t sector, std::array<bool, SectorCount>& done) {
    FUZZ_CHECK(sector < SectorCount);
    FUZZ_CHECK(sector == session_.CurrentSector());
    FUZZ_CHECK(session_.SectorSelected()[sector] == 1);
    FUZZ_CHECK(!done[sector]);
    done[sector] = true;
  }

  // Bytes written by the block that handles one received byte: the erase
  // command of state 11, the program command of state 13 with exactly the
  // sector's size in data (rounded up to whole words).
  void SeeWrite(uint8_t value) {
    if (!inDispatcher_) {
      handlerWrites_.push_back(value);
      return;
    }
    if (blockWrites_ == 0) blockState_ = session_.ActiveState();
    const bool erase = blockState_ == Session::State::AwaitErasePrompt;
    if (erase || blockState_ == Session::State::AwaitProgramPrompt) {
      if (blockWrites_ == 0) FUZZ_CHECK(value == (erase ? '0' : '1'));
      if (blockWrites_ == 1) {
        CheckSectorCommand(value, erase ? erased_ : programmed_);
        blockSector_ = value;
      }
    }
    ++blockWrites_;
  }

  void EndBlock() {
    const bool sentWhole =
        port_.IsConnected && !port_.WritesFail && window_.FileErrorCount == fileErrorsAtBlock_;
    if (blockState_ == Session::State::AwaitProgramPrompt && blockWrites_ >= 2 && sentWhole) {
      const auto size = static_cast<int32_t>(session_.SectorStart()[blockSector_ + 1] -
                                             session_.SectorStart()[blockSector_]);
      const uint64_t data = size > 0 ? (static_cast<uint64_t>(size) + 1) / 2 * 2 : 0;
      FUZZ_CHECK(blockWrites_ - 2 == data);
    }
    blockState_.reset();
    blockWrites_ = 0;
    fileErrorsAtBlock_ = window_.FileErrorCount;
  }

  // One step of the input; false to end the run.
  bool Step(InputReader& input) {
    const uint8_t op = input.Byte();
    switch (op % 16) {
      case 7:
        Press(&Session::Button3Click, std::nullopt);
        return true;
      case 8:
        Press(&Session::Button6Click, std::nullopt);
        return true;
      case 9: {
        const uint8_t how = input.Byte();
        KeepTableSmall(session_, tablePattern_);
        if (!imageWritten_) {
          WriteWholeFile(TheScene().Image, MakeImage(imageKind_, sameProduct_, sectors_, tail_));
          imageWritten_ = true;
        }
        Press(&Session::Button4Click, DownloadAnswer(how));
        return true;
      }
      case 10:
        KeepTableSmall(session_, tablePattern_);
        if (!emptyWritten_) {
          WriteWholeFile(TheScene().FilesDir + "/empty", Bytes(emptySize_, 0x5A));
          emptyWritten_ = true;
        }
        Press(&Session::Button7Click, std::nullopt);
        return true;
      case 11:
        Press(&Session::Button11Click, ReadBackAnswer(input.Byte()));
        return true;
      case 12:
        Press(&Session::RadioButton5Click, ReadBackAnswer(input.Byte()));
        return true;
      case 13:
        switch (input.Byte() % 4) {
          case 0:
            port_.IsConnected = !port_.IsConnected;
            break;
          case 1:
            port_.WritesFail = !port_.WritesFail;
            break;
          case 2:
            port_.OpenSucceeds = !port_.OpenSucceeds;
            break;
          default:
            return false;  // the operator closes the window
        }
        return true;
      case 14:
        switch (input.Byte() % 5) {
          case 0:
            session_.FormActivate();
            break;
          case 1:
            session_.Comm1CommError(input.Long());
            break;
          case 2:
            // The front end's tick, some seconds on: silence may end the job.
            now_ += std::chrono::seconds(input.Byte());
            session_.Tick(now_);
            break;
          case 3:
            session_.StartOver();
            break;
          default: {
            const uint32_t events = input.Long();
            session_.Comm1CommEvent(events, input.Long());
          }
        }
        return true;
      case 15: {
        // Words of a read: `count` times the same few bytes, each time in a
        // notification of its own, or all at once (a whole sector).
        if (op & 0x10) {
          const unsigned count = input.Word() + 1u;
          const std::span<const uint8_t> unit = input.Take(input.Byte() % 8 + 1);
          Bytes all;
          all.reserve(count * unit.size());
          for (unsigned k = 0; k < count; ++k) all.insert(all.end(), unit.begin(), unit.end());
          Deliver(all);
        } else {
          const unsigned count = input.Word() % 4097 + 1;
          const std::span<const uint8_t> unit = input.Take(input.Byte() % 8 + 1);
          for (unsigned k = 0; k < count && WithinBudget(); ++k) Deliver(unit);
        }
        return true;
      }
      default: {
        const size_t length = input.Byte() + 1u;
        Deliver(input.Take(length));
        return true;
      }
    }
  }

  void Check() {
    FUZZ_CHECK(!session_.Busy());
    FUZZ_CHECK(static_cast<int>(session_.SessionState()) < Session::StateCount);
    FUZZ_CHECK(static_cast<int>(session_.ActiveState()) < Session::StateCount);
    FUZZ_CHECK(session_.CurrentSector() >= -1 && session_.CurrentSector() < SectorCount);
    FUZZ_CHECK(session_.SelectedSectorCount() >= 0 && session_.SelectedSectorCount() <= 255);
    FUZZ_CHECK(session_.SectorsErased() >= 0 && session_.SectorsDone() >= 0);
    FUZZ_CHECK(session_.TransferCount() >= 0);
    FUZZ_CHECK(session_.JobKind() == Session::DataUse::KeepOrShow ||
               session_.JobKind() == Session::DataUse::ToDestinationFile);
    for (const uint8_t flag : session_.SectorSelected()) FUZZ_CHECK(flag <= 1);
    // Between notifications at most the one running job is open.
    FUZZ_CHECK(window_.OpenJobs.size() <= 1);
    FUZZ_CHECK(window_.OpenJobs.empty() == !session_.RunningJob().has_value());
    // The bytes after a full identity block are never written.
    for (int k = IdentityBlockBytes; k < IdentityAreaSize; ++k) {
      FUZZ_CHECK(session_.IdentityArea()[k] == 0);
    }
  }

  FuzzPort port_;
  FuzzWindow window_;
  Session session_;
  uint32_t tablePattern_ = 0;
  bool inDispatcher_ = false;
  Bytes handlerWrites_;
  std::optional<Session::State> blockState_;
  std::chrono::steady_clock::time_point now_{};
  uint64_t blockWrites_ = 0;
  uint8_t blockSector_ = 0;
  size_t fileErrorsAtBlock_ = 0;
  std::array<bool, SectorCount> erased_{};
  std::array<bool, SectorCount> programmed_{};
  ImageKind imageKind_ = ImageKind::Patchable;
  bool sameProduct_ = false;
  Bytes sectors_;
  size_t tail_ = 0;
  size_t emptySize_ = 0;
  bool imageWritten_ = false;
  bool emptyWritten_ = false;
  uint64_t notifications_ = 0;
  uint64_t deviceBytes_ = 0;
  uint64_t byteWaits_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SeqFile::DefaultOpenMode = FileOpenMode::ReadOnly;
  (void)TheScene();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader input({data, size});
  Harness harness;
  harness.Run(input);
  return 0;
}
