// devsim: the device on a pseudo-terminal, for trying the program without
// hardware, and a maker of firmware images to feed it.
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "devsim_options.h"
#include "pty_device.h"
#include "upload.h"

namespace {

int MakeImage(const std::vector<std::string>& args) {
  sim::MakeImageSettings settings;
  std::string error;
  if (!sim::ParseMakeImageArgs(args, settings, &error)) {
    std::fprintf(stderr, "devsim make-image: %s (see devsim --help)\n", error.c_str());
    return 2;
  }
  if (settings.Help) {
    std::fputs(sim::DevsimUsage, stdout);
    return 0;
  }
  if (!sim::WriteImageFile(settings.OutPath, settings.Options, &error)) {
    std::fprintf(stderr, "devsim make-image: %s\n", error.c_str());
    return 1;
  }
  std::printf("devsim: image %s, %u bytes, identity block at %u\n", settings.OutPath.c_str(),
              settings.Options.Size, settings.Options.IdentityOffset);
  return 0;
}

int PlayDevice(const std::vector<std::string>& args) {
  sim::DevsimSettings settings;
  std::string error;
  if (!sim::ParseDevsimArgs(args, settings, &error)) {
    std::fprintf(stderr, "devsim: %s (see devsim --help)\n", error.c_str());
    return 2;
  }
  if (settings.Help) {
    std::fputs(sim::DevsimUsage, stdout);
    return 0;
  }
  sim::DeviceConfig config;
  if (!sim::ReadUploadFile(settings.LoaderPath, config.Loader, &error) ||
      !sim::ReadUploadFile(settings.RoutinePath, config.Routine, &error)) {
    std::fprintf(stderr, "devsim: upload file %s\n", error.c_str());
    return 1;
  }
  config.Message = settings.Message;
  config.InitialFaults = settings.InitialFaults;

  sim::Flash flash = sim::MakeFlash(settings.Identity, settings.PatternSectors);
  if (!settings.FlashPath.empty()) {
    if (std::FILE* probe = std::fopen(settings.FlashPath.c_str(), "rb")) {
      std::fclose(probe);
      if (!flash.Load(settings.FlashPath, &error)) {
        std::fprintf(stderr, "devsim: %s\n", error.c_str());
        return 1;
      }
      std::fprintf(stderr, "devsim: flash loaded from %s\n", settings.FlashPath.c_str());
    }
  }

  // The signals are taken by sigwait below; every thread started from here
  // on inherits the block, so none of them is interrupted by one.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  sim::PtyOptions options;
  options.LinkPath = settings.LinkPath;
  options.TranscriptPath = settings.TranscriptPath;
  options.OnEvent = [](const std::string& text) {
    std::fprintf(stderr, "devsim: %s\n", text.c_str());
  };
  sim::PtyDevice device(std::move(config), std::move(flash), options);
  if (!device.Start(&error)) {
    std::fprintf(stderr, "devsim: %s\n", error.c_str());
    return 1;
  }
  std::printf("devsim: port %s\n", device.SlavePath().c_str());
  if (!settings.LinkPath.empty()) std::printf("devsim: link %s\n", settings.LinkPath.c_str());
  std::fflush(stdout);

  // A short timeout so that a line closed by a hang-up fault ends the run too.
  const timespec tick{0, 200'000'000};
  for (;;) {
    const int signal = sigtimedwait(&signals, nullptr, &tick);
    if (signal == SIGUSR1) {
      device.PowerCycle(settings.ClearFaultsOnPowerCycle);
      continue;
    }
    if (signal == SIGINT || signal == SIGTERM || signal == SIGHUP) break;
    if (!device.Running()) break;
  }
  device.Stop();
  int status = 0;
  if (!settings.FlashPath.empty()) {
    if (device.ReadFlash().Save(settings.FlashPath, &error)) {
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
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "make-image") {
    return MakeImage(std::vector<std::string>(args.begin() + 1, args.end()));
  }
  return PlayDevice(args);
}
