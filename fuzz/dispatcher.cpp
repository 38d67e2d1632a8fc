// The whole session under arbitrary device bytes. The input first sets the
// scene (port, device identity, upload files, sector table, the image that
// "download" will be given) and then is read as a list of steps: device bytes
// in chunks of any size, repeated words, job starts with their arguments, the
// port going away, comm errors, the clock moving on. After every step the
// session must be in one piece.
//
// Input: [flags] [sector table pattern 4, LE] [list length (low 4 bits) % 9] sector list
// [image tail / 16] [size of "empty"], then steps, by first byte % 16:
//   0-6 device bytes: [length - 1] bytes      7 connect     8 verify hardware
//   9 download: [image]     10 erase-only    11 read-back: [destination]
//   12 read-back into what is no destination: [which]     13 port: [what]
//   14 [what] activation / comm error [code 4] / tick [seconds] / start over /
//      comm event [4] [4] / give up
//   15 repeat: [count - 1, 2] [unit length - 1] unit; one notification
//      for each unit, or with bit 4 of the step byte, one for all of them;
//      with bit 5, [count - 1, 2] words the device sends for the sector read
//      in progress, from what this run programmed there, in one notification
// List length byte: bits 4-5 the image's kind, bit 6 device not identified.
// Flags: 1 port open, 2 opening succeeds, 4 image for this product, 8 device
// has a serial number, 16 device has a brand label, 32 upload files present,
// 64 window activated first, 128 no private place for the temporary image.
// Image (% 8): 0 none chosen (nothing starts), 1 the image, 2 a missing file,
// 3 one shorter than the identity window's offset, 4 a folder, 5 a pipe, 6 the
// session's own temporary image, 7 the image read with a bound below its size.
// Destination (% 4): 0 none, 1 a file, 2 one in a missing folder, 3 a file on a
// disk that is full once it holds (destination >> 2) * 16 bytes.
// No destination (% 4): 0 /dev/full, 1 the upload file Loader.hex, 2 a folder,
// 3 the firmware image.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>

#include "checked_fakes.h"
#include "firmware/identity.h"
#include "firmware/image_plan.h"
#include "fuzz_support.h"
#include "platform/own_files.h"
#include "session/session.h"
#include "session/wire.h"

namespace {

struct Scene {
  std::string FilesDir;  // Loader.hex, F29f160d.hex and "empty"
  std::string BareDir;   // none of them
  std::string DestDir;   // the read-backs' destinations, emptied for every input
  std::string Image;
  std::string ShortImage;
  std::string MissingImage;
  std::string Folder;
  std::string Pipe;
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
    s.DestDir = root + "/dest";
    s.Folder = root + "/folder";
    for (const std::string* dir : {&s.FilesDir, &s.BareDir, &s.DestDir, &s.Folder}) {
      FUZZ_CHECK(::mkdir(dir->c_str(), 0700) == 0);
    }
    // 10 loader bytes (padded to 32 on the wire) and a 20-byte flash routine.
    WriteWholeFile(s.FilesDir + "/Loader.hex", std::string_view("FA00E6F0CAFE4a4A0d0a"));
    WriteWholeFile(s.FilesDir + "/F29f160d.hex",
                   std::string_view("00112233445566778899aabbccddeeff10203040"));
    // Rewritten in place by the inputs that need them.
    WriteWholeFile(s.FilesDir + "/empty", std::string_view());
    s.Image = root + "/image.bin";
    WriteWholeFile(s.Image, std::string_view());
    s.ShortImage = root + "/short.bin";
    WriteWholeFile(s.ShortImage, Bytes(100, 0x42));
    s.MissingImage = root + "/no-such-image.bin";
    s.Pipe = root + "/image.fifo";
    FUZZ_CHECK(::mkfifo(s.Pipe.c_str(), 0600) == 0);
    s.Destination = s.DestDir + "/readback.2bf";
    s.UncreatableDestination = s.DestDir + "/no-such-folder/readback.2bf";
    s.TemporaryImage = root + "/tmp.bin";
    // The registry of the program's own files lives as long as the process.
    // Everything a run could put there is put there now, so that no input
    // finds what an earlier one left.
    OwnFiles& own = OwnFiles::OfThisRun();
    for (const std::string* image :
         {&s.Image, &s.ShortImage, &s.MissingImage, &s.Folder, &s.Pipe, &s.TemporaryImage}) {
      own.Add(*image, "the firmware image");
    }
    for (const char* name : {"Loader.hex", "F29f160d.hex", "empty"}) {
      own.Add(s.FilesDir + "/" + name, std::string("the program's file ") + name);
    }
    return s;
  }();
  return scene;
}

// What an earlier input left: the temporary image, destinations and the
// ".part" files of read-backs that did not finish, destinations taken.
void ClearScene() {
  const Scene& scene = TheScene();
  RemoveFile(scene.TemporaryImage);
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(scene.DestDir, ignored)) {
    std::filesystem::remove_all(entry.path(), ignored);
  }
  OwnFiles::OfThisRun().ReleaseDestinations();
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
  std::array<uint32_t, SectorTableSize>& table = SessionTestAccess::FullSectorTable(session);
  uint32_t address = 0x4000;
  for (int i = 0; i < SectorTableSize; ++i) {
    table[static_cast<size_t>(i)] = address;
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

// The image of a download: LoadImagePlan on what the operator chose, as the
// front ends call it; nothing when the choice was cancelled.
std::optional<ImagePlan> DownloadImage(uint8_t how) {
  const Scene& scene = TheScene();
  constexpr int64_t MaxImageBytes = 16 * 1024 * 1024;
  switch (how % 8) {
    case 0:
      return std::nullopt;
    case 1:
      return LoadImagePlan(scene.Image, MaxImageBytes);
    case 2:
      return LoadImagePlan(scene.MissingImage, MaxImageBytes);
    case 3:
      return LoadImagePlan(scene.ShortImage, MaxImageBytes);  // shorter than the window's offset
    case 4:
      return LoadImagePlan(scene.Folder, MaxImageBytes);
    case 5:
      return LoadImagePlan(scene.Pipe, MaxImageBytes);  // refused at once, never waited on
    case 6:
      return LoadImagePlan(scene.TemporaryImage, MaxImageBytes);
    default:
      return LoadImagePlan(scene.Image, IdentityWindowOffset);
  }
}

std::string ReadBackDestination(uint8_t how) {
  const Scene& scene = TheScene();
  switch (how % 4) {
    case 0:
      return std::string();
    case 2:
      return scene.UncreatableDestination;
    default:
      return scene.Destination;  // 3: on a disk that fills up
  }
}

// Names that no read-back may write to, each refused before the device hears
// of it.
std::string NoDestination(uint8_t how) {
  const Scene& scene = TheScene();
  switch (how % 4) {
    case 0:
      return "/dev/full";
    case 1:
      return scene.FilesDir + "/Loader.hex";
    case 2:
      return scene.Folder;
    default:
      return scene.Image;
  }
}

// What one input may cost. A device can keep the session busy for as long as
// it likes (a stray byte per notification in a state that fails, sector
// tables announced again and again); beyond these the run ends, so that every
// input takes well under a second.
constexpr uint64_t MaxNotifications = 12000;
constexpr uint64_t MaxWrites = 4'000'000;
constexpr uint64_t MaxDeviceBytes = 1'000'000;
// A sector's data is at most 64 KiB (KeepTableSmall) in slices of 512 bytes.
constexpr int MaxSlicesPerSector = 65536 / Session::SendSliceBytes + 1;

// With UPDATER_FUZZ_TRACE set, a run prints every step, the state after it
// and the whole log: the way to read what a saved input does.
const bool Trace = std::getenv("UPDATER_FUZZ_TRACE") != nullptr;

class Harness {
 public:
  Harness() : session_(port_, observer_, &observer_) {
    observer_.Keep = Trace;
    port_.KeepWritten = false;
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
    ClearScene();

    port_.IsConnected = (flags & 0x01) != 0;
    port_.OpenSucceeds = (flags & 0x02) != 0;
    session_.WorkingDirectory = (flags & 0x20) ? scene.FilesDir : scene.BareDir;
    session_.TemporaryImagePath = (flags & 0x80) ? std::string() : scene.TemporaryImage;
    session_.Pause = [](std::chrono::milliseconds) {};
    // Time moves only when the input says so (a tick): every run is
    // repeatable, and every wait for the device, the sector table's among
    // them, ends through Tick.
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
      DriveSlices();
      if (Trace) {
        const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - began);
        std::fprintf(stderr,
                     "step %d: state %d, sector %d, written %llu, file errors %zu, %lld us\n", step,
                     static_cast<int>(session_.SessionState()), session_.CurrentSector(),
                     static_cast<unsigned long long>(port_.WriteCount), observer_.FileErrorCount,
                     static_cast<long long>(took.count()));
      }
      if (!more) break;
      Check();
    }
    session_.Shutdown();
    Check();
    FUZZ_CHECK(observer_.OpenJobs.empty());
    if (Trace) {
      std::fprintf(stderr, "---- log\n%s\n---- warnings\n", observer_.Log.c_str());
      for (const std::string& w : observer_.Warnings) std::fprintf(stderr, "%s\n", w.c_str());
    }
  }

 private:
  bool WithinBudget() const {
    return notifications_ < MaxNotifications && port_.WriteCount < MaxWrites &&
           deviceBytes_ < MaxDeviceBytes;
  }

  // Hands `bytes` to the port and raises one notification for them, then
  // lets the session send the slices of a sector's data it started, as a
  // front end does between its events.
  void Deliver(std::span<const uint8_t> bytes) {
    port_.Arrived.insert(port_.Arrived.end(), bytes.begin(), bytes.end());
    const size_t fileErrorsBefore = observer_.FileErrorCount;
    ++notifications_;
    deviceBytes_ += bytes.size();
    FillDiskWhenDue();
    inDispatcher_ = true;
    fileErrorsAtBlock_ = observer_.FileErrorCount;
    const uint64_t dryBefore = port_.DryReads;
    session_.Comm1CharReceived(static_cast<uint32_t>(port_.Arrived.size()));
    // A pass never waits for the device: it stops at the first read that
    // finds nothing.
    FUZZ_CHECK(port_.DryReads - dryBefore <= 1);
    DriveSlices();
    EndBlock();
    inDispatcher_ = false;
    // The dispatcher reads until the queue is empty, unless a file error
    // ended its pass.
    if (port_.IsConnected && observer_.FileErrorCount == fileErrorsBefore) {
      FUZZ_CHECK(port_.Arrived.empty());
    }
    port_.Arrived.clear();
  }

  // Continue while a sector's data is still to be sent. Every slice moves the
  // data on or ends it; the pass that ends it reads what the device sent
  // meanwhile, without waiting.
  void DriveSlices() {
    for (int slices = 0; session_.ContinuePending(); ++slices) {
      FUZZ_CHECK(slices <= MaxSlicesPerSector);
      const int32_t sentBefore = session_.TransferCount();
      const uint64_t dryBefore = port_.DryReads;
      session_.Continue();
      FUZZ_CHECK(!session_.ContinuePending() || session_.TransferCount() > sentBefore);
      FUZZ_CHECK(port_.DryReads - dryBefore <= 1);
    }
  }

  // The read-back on a filling disk: once its destination holds the bytes the
  // disk had room for, the file's every further write fails as on a full
  // disk. Checked before each notification, so the write that fails is one
  // in the middle of a pass.
  void FillDiskWhenDue() {
    if (!diskRoom_) return;
    const ::DestinationFile& file = session_.DestinationFile();
    if (!file.IsOpen() || file.TemporaryPath() != diskFullPath_ || file.Written() < *diskRoom_) {
      return;
    }
    FUZZ_CHECK(PointAtFullDevice(file.TemporaryPath()));
    diskRoom_.reset();
  }

  void StartReadBack(const std::string& destination, std::optional<int64_t> diskRoom) {
    StartJob([&] { session_.StartReadBack(destination); });
    diskRoom_.reset();
    const ::DestinationFile& file = session_.DestinationFile();
    if (diskRoom && file.IsOpen()) {
      diskRoom_ = diskRoom;
      diskFullPath_ = file.TemporaryPath();
    }
  }

  void StartJob(const std::function<void()>& start) {
    handlerWrites_.clear();
    start();
    if (handlerWrites_.size() >= 2 && handlerWrites_[0] == wire::CmdReadSector) {
      ReadFrom(handlerWrites_[1]);
    }
  }

  void StartFlashJob(const std::function<void()>& start) {
    StartJob(start);
    // A flash job that started has sent the erase command for its first
    // sector, and nothing after it.
    if (session_.SessionState() == Session::State::AwaitEraseResult && !handlerWrites_.empty()) {
      erased_.fill(false);
      programmed_.fill(false);
      FUZZ_CHECK(handlerWrites_.size() >= 2);
      FUZZ_CHECK(handlerWrites_[handlerWrites_.size() - 2] == '0');
      CheckSectorCommand(handlerWrites_.back(), erased_);
      flash_[handlerWrites_.back()].clear();
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
  // sector's size in data (rounded up to whole words), across all the slices
  // that send it.
  void SeeWrite(uint8_t value) {
    if (!inDispatcher_) {
      handlerWrites_.push_back(value);
      return;
    }
    if (blockWrites_ == 0) {
      blockState_ = session_.ActiveState();
      blockCommand_ = value;
    }
    const bool erase = blockState_ == Session::State::AwaitErasePrompt;
    if (erase || blockState_ == Session::State::AwaitProgramPrompt) {
      if (blockWrites_ == 0) FUZZ_CHECK(value == (erase ? '0' : '1'));
      if (blockWrites_ == 1) {
        CheckSectorCommand(value, erase ? erased_ : programmed_);
        blockSector_ = value;
        if (erase) flash_[value].clear();
      }
      if (!erase && blockWrites_ >= 2 && port_.IsConnected && !port_.WritesFail()) {
        flash_[blockSector_].push_back(value);
      }
    }
    const bool readPrompt = blockState_ == Session::State::AwaitReadPrompt ||
                            blockState_ == Session::State::AwaitVerifyPrompt;
    if (readPrompt && blockWrites_ == 1 && blockCommand_ == wire::CmdReadSector) ReadFrom(value);
    ++blockWrites_;
  }

  // The device's side of a sector read: what it holds of `sector` is what
  // this run programmed there since its last erase, and erased bytes after.
  void ReadFrom(uint8_t sector) {
    readSector_ = sector;
    readPosition_ = 0;
  }

  // The words the device sends for the read in progress, each with its "g",
  // the sector's last with "f" (sizes from the session's table); nothing
  // once no read is in progress.
  Bytes DeviceWords(unsigned count) {
    Bytes words;
    for (unsigned k = 0; k < count && readSector_ >= 0 && readSector_ < SectorCount; ++k) {
      const auto sector = static_cast<size_t>(readSector_);
      const auto size =
          static_cast<int32_t>(session_.SectorStart()[sector + 1] - session_.SectorStart()[sector]);
      for (int b = 0; b < 2; ++b) {
        words.push_back(readPosition_ < flash_[sector].size() ? flash_[sector][readPosition_]
                                                              : wire::ErasedByte);
        ++readPosition_;
      }
      const bool last = static_cast<int64_t>(readPosition_) >= std::max(size, 2);
      words.push_back(last ? wire::RepSectorEnd : wire::RepWordSent);
      if (last) readSector_ = -1;
    }
    return words;
  }

  void EndBlock() {
    const bool sentWhole =
        port_.IsConnected && !port_.WritesFail() && observer_.FileErrorCount == fileErrorsAtBlock_;
    if (blockState_ == Session::State::AwaitProgramPrompt && blockWrites_ >= 2 && sentWhole) {
      const auto size = static_cast<int32_t>(session_.SectorStart()[blockSector_ + 1] -
                                             session_.SectorStart()[blockSector_]);
      const uint64_t data = size > 0 ? (static_cast<uint64_t>(size) + 1) / 2 * 2 : 0;
      FUZZ_CHECK(blockWrites_ - 2 == data);
    }
    blockState_.reset();
    blockWrites_ = 0;
    fileErrorsAtBlock_ = observer_.FileErrorCount;
  }

  // One step of the input; false to end the run.
  bool Step(InputReader& input) {
    const uint8_t op = input.Byte();
    switch (op % 16) {
      case 7:
        StartJob([this] { session_.StartConnect(); });
        return true;
      case 8:
        StartJob([this] { session_.StartIdentify(); });
        return true;
      case 9: {
        const uint8_t how = input.Byte();
        KeepTableSmall(session_, tablePattern_);
        if (!imageWritten_) {
          WriteWholeFile(TheScene().Image, MakeImage(imageKind_, sameProduct_, sectors_, tail_));
          imageWritten_ = true;
        }
        // A choice the operator cancelled starts nothing.
        const std::optional<ImagePlan> image = DownloadImage(how);
        if (image) StartFlashJob([&] { session_.StartUpdate(*image); });
        return true;
      }
      case 10:
        KeepTableSmall(session_, tablePattern_);
        if (!emptyWritten_) {
          WriteWholeFile(TheScene().FilesDir + "/empty", Bytes(emptySize_, 0x5A));
          emptyWritten_ = true;
        }
        StartFlashJob([this] { session_.StartEraseOnly(); });
        return true;
      case 11: {
        const uint8_t how = input.Byte();
        std::optional<int64_t> room;
        if (how % 4 == 3) room = (how >> 2) * 16;
        StartReadBack(ReadBackDestination(how), room);
        return true;
      }
      case 12:
        StartReadBack(NoDestination(input.Byte()), std::nullopt);
        return true;
      case 13:
        switch (input.Byte() % 4) {
          case 0:
            port_.IsConnected = !port_.IsConnected;
            break;
          case 1:
            port_.SetWritesFail(!port_.WritesFail());
            break;
          case 2:
            port_.OpenSucceeds = !port_.OpenSucceeds;
            break;
          default:
            return false;  // the operator closes the window
        }
        return true;
      case 14:
        switch (input.Byte() % 6) {
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
          case 4: {
            const uint32_t events = input.Long();
            session_.Comm1CommEvent(events, input.Long());
            break;
          }
          default:
            // The front end stops waiting for the running job.
            session_.GiveUp("the operator gave up waiting");
        }
        return true;
      case 15: {
        // Words of a read: the device's own, or `count` times the same few
        // bytes, each time in a notification of its own or all at once (a
        // whole sector).
        if (op & 0x20) {
          Deliver(DeviceWords(input.Word() + 1u));
        } else if (op & 0x10) {
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
    // Between the front end's events no data is left half sent.
    FUZZ_CHECK(!session_.ContinuePending());
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
    FUZZ_CHECK(observer_.OpenJobs.size() <= 1);
    FUZZ_CHECK(observer_.OpenJobs.empty() == !session_.RunningJob().has_value());
    // The bytes after a full identity block are never written.
    for (int k = IdentityBlockBytes; k < IdentityAreaSize; ++k) {
      FUZZ_CHECK(session_.IdentityArea()[k] == 0);
    }
  }

  CheckedPort port_;
  CheckedObserver observer_;
  Session session_;
  uint32_t tablePattern_ = 0;
  bool inDispatcher_ = false;
  Bytes handlerWrites_;
  std::optional<Session::State> blockState_;
  std::chrono::steady_clock::time_point now_{};
  uint64_t blockWrites_ = 0;
  uint8_t blockSector_ = 0;
  uint8_t blockCommand_ = 0;
  // What the device's flash holds of each sector, as this run programmed it,
  // and the read it is answering.
  std::array<Bytes, SectorCount> flash_;
  int readSector_ = -1;
  size_t readPosition_ = 0;
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
  // The read-back on a filling disk: the room left, and its file.
  std::optional<int64_t> diskRoom_;
  std::string diskFullPath_;
  uint64_t notifications_ = 0;
  uint64_t deviceBytes_ = 0;
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
