// devsim: the device on a pseudo-terminal, for trying the program without
// hardware, and a maker of firmware images to feed it.
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "devsim_options.h"
#include "pty_device.h"
#include "upload.h"

namespace {

int MakeImage(const sim::MakeImageSettings& settings) {
  std::string error;
  if (!sim::WriteImageFile(settings.OutPath, settings.Options, &error)) {
    std::fprintf(stderr, "devsim make-image: %s\n", error.c_str());
    return 1;
  }
  std::printf("devsim: image %s, %u bytes, identity block at %u\n", settings.OutPath.c_str(),
              settings.Options.Size, settings.Options.IdentityOffset);
  return 0;
}

// The device of the run: one board kept over power cycles, or boards in turn.
std::unique_ptr<sim::PtyDevice> MakeDevice(const sim::DevsimSettings& settings,
                                           sim::DeviceConfig config, sim::PtyOptions options,
                                           std::string* error) {
  if (!settings.Boards.empty()) {
    std::vector<sim::Board> boards;
    for (const sim::BoardSettings& board : settings.Boards) boards.push_back(MakeBoard(board));
    return std::make_unique<sim::PtyDevice>(std::move(config), std::move(boards),
                                            std::move(options));
  }
  sim::Board board = sim::MakeBoard(settings.Board);
  if (!settings.FlashPath.empty()) {
    if (std::FILE* probe = std::fopen(settings.FlashPath.c_str(), "rb")) {
      std::fclose(probe);
      if (!board.Memory.Load(settings.FlashPath, error)) return nullptr;
      std::fprintf(stderr, "devsim: flash loaded from %s\n", settings.FlashPath.c_str());
    }
  }
  config.InitialFaults = board.Faults;
  return std::make_unique<sim::PtyDevice>(std::move(config), std::move(board.Memory),
                                          std::move(options));
}

int PlayDevice(const sim::DevsimSettings& settings) {
  std::string error;
  sim::DeviceConfig config;
  if (!sim::ReadUploadFile(settings.LoaderPath, config.Loader, &error) ||
      !sim::ReadUploadFile(settings.RoutinePath, config.Routine, &error)) {
    std::fprintf(stderr, "devsim: upload file %s\n", error.c_str());
    return 1;
  }
  config.Message = settings.Message;
  if (!settings.FlashDir.empty()) {
    std::error_code made;
    std::filesystem::create_directories(settings.FlashDir, made);
    if (made) {
      std::fprintf(stderr, "devsim: --flash-dir %s: %s\n", settings.FlashDir.c_str(),
                   made.message().c_str());
      return 1;
    }
  }

  // The signals are taken by sigwait below; every thread started from here
  // on inherits the block, so none of them is interrupted by one.
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&signals, signal);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  sim::PtyOptions options;
  options.LinkPath = settings.LinkPath;
  options.TranscriptPath = settings.TranscriptPath;
  options.PowerCycleOnClose = settings.PowerCycleOnClose;
  options.NextBoardAfterStartBytes = settings.NextBoardAfterStartBytes;
  options.ReplugPause = settings.ReplugPause;
  options.AdapterPieces = settings.AdapterPieces;
  options.OnEvent = [](const std::string& text) {
    std::fprintf(stderr, "devsim: %s\n", text.c_str());
  };
  bool saveFailed = false;
  if (!settings.FlashDir.empty()) {
    options.OnPowerDown = [&settings, &saveFailed](int board, const sim::Flash& flash) {
      const std::string path = sim::BoardFlashPath(settings.FlashDir, board);
      std::string why;
      if (flash.Save(path, &why)) {
        std::fprintf(stderr, "devsim: board %d powered down, flash saved to %s\n", board,
                     path.c_str());
      } else {
        std::fprintf(stderr, "devsim: board %d powered down, flash not saved: %s\n", board,
                     why.c_str());
        saveFailed = true;
      }
    };
  }
  std::unique_ptr<sim::PtyDevice> device =
      MakeDevice(settings, std::move(config), std::move(options), &error);
  if (!device || !device->Start(&error)) {
    std::fprintf(stderr, "devsim: %s\n", error.c_str());
    return 1;
  }
  std::printf("devsim: port %s\n", device->SlavePath().c_str());
  if (!settings.LinkPath.empty()) std::printf("devsim: link %s\n", settings.LinkPath.c_str());
  std::fflush(stdout);

  // A short timeout so that a line closed by a hang-up fault ends the run too.
  const timespec tick{0, 200'000'000};
  for (;;) {
    const int signal = sigtimedwait(&signals, nullptr, &tick);
    if (signal == SIGUSR1) {
      device->PowerCycle(settings.ClearFaultsOnPowerCycle);
      continue;
    }
    if (signal == SIGUSR2) {
      device->Replug();
      continue;
    }
    if (signal == SIGINT || signal == SIGTERM || signal == SIGHUP) break;
    if (!device->Running()) break;
  }
  const bool onLine = device->BoardPresent();
  device->Stop();
  int status = saveFailed ? 1 : 0;
  if (!settings.FlashPath.empty() && onLine) {
    if (device->ReadFlash().Save(settings.FlashPath, &error)) {
      std::fprintf(stderr, "devsim: flash saved to %s\n", settings.FlashPath.c_str());
    } else {
      std::fprintf(stderr, "devsim: flash not saved: %s\n", error.c_str());
      status = 1;
    }
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  sim::DevsimCommandLine line;
  std::string error;
  if (!sim::ParseDevsimCommandLine(args, line, &error)) {
    std::fprintf(stderr, "devsim: %s (see devsim --help)\n", error.c_str());
    return 2;
  }
  if (line.Help) {
    std::fputs(line.Help->c_str(), stdout);
    return 0;
  }
  if (line.Command == sim::DevsimCommand::MakeImage) return MakeImage(line.Image);
  return PlayDevice(line.Device);
}
