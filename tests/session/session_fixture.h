// A session on a fake port and a recording window, in a folder of its own.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "firmware/image_plan.h"
#include "platform/own_files.h"
#include "session/session.h"
#include "tests/support/session_fakes.h"

namespace fs = std::filesystem;
using Access = SessionTestAccess;
using St = Session::State;
using namespace std::string_literals;

inline std::string ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// What a read-back that did not finish left beside `destination`: the one
// "<destination>.<random>.part" there, or nothing.
inline std::string KeptPart(const fs::path& destination) {
  const std::string prefix = destination.filename().string() + ".";
  for (const auto& entry : fs::directory_iterator(destination.parent_path())) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(prefix) && name.ends_with(".part")) return ReadWholeFile(entry.path());
  }
  return {};
}

inline void WriteWholeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// One identity record: tag, length byte, value.
inline std::string Record(const std::string& tag, const std::string& value) {
  return tag + static_cast<char>(value.size()) + value;
}

// Four bytes of a sector-table entry, most significant first.
inline std::string Entry(uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
          static_cast<char>(value >> 8), static_cast<char>(value)};
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SeqFile::DefaultOpenMode = FileOpenMode::ReadOnly;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    Dir = fs::temp_directory_path() / ("session_tests_" + std::to_string(::getpid()) + "_" + name);
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    Reset();
  }
  void TearDown() override {
    S.reset();
    fs::remove_all(Dir);
  }

  // A fresh port, window and session, as after start-up.
  void Reset() {
    S.reset();
    Paused.clear();
    Port = std::make_unique<FakePort>();
    Win = std::make_unique<RecordingObserver>();
    S = std::make_unique<Session>(*Port, *Win, Win.get());
    Chosen.reset();
    // Each test is a run of its own: what an earlier one wrote is free again.
    OwnFiles::OfThisRun().ReleaseDestinations();
    S->WorkingDirectory = Dir.string();
    S->TemporaryImagePath = (Dir / "tmp.bin").string();
    S->SectorTableByteTimeout = std::chrono::milliseconds(50);
    S->Pause = [this](std::chrono::milliseconds d) { Paused.push_back(d); };
    // Time stands still unless a test moves it.
    S->Clock = [this] { return Now; };
    Port->IsConnected = true;
  }

  // The image the operator chose; Download starts the update with it.
  std::string ChooseImage(const std::string& image, const std::string& name = "new.bin") {
    WriteWholeFile(Dir / name, image);
    Chosen = (Dir / name).string();
    return *Chosen;
  }
  void Download() { S->StartUpdate(LoadImagePlan(Chosen.value_or(std::string()), 1 << 24)); }

  // A notification, and the slices of a sector's data it started.
  void Notify() {
    S->Comm1CharReceived(static_cast<uint32_t>(Port->Arrived.size()));
    while (S->ContinuePending()) S->Continue();
  }
  // Notifications of `sizes` bytes each, then one for whatever is left.
  void Feed(const std::string& script, const std::vector<size_t>& sizes) {
    Port->Script(script);
    for (size_t size : sizes) {
      Port->Deliver(size);
      Notify();
    }
    while (!Port->InFlight.empty()) {
      Port->Deliver(Port->InFlight.size());
      Notify();
    }
  }
  void FeedWhole(const std::string& script) { Feed(script, {script.size()}); }

  // What a run leaves behind, for comparing runs fed in different pieces.
  struct Outcome {
    std::vector<std::string> trace;
    std::vector<uint8_t> written;
    Session::State state;
    bool operator==(const Outcome&) const = default;
  };
  Outcome Snapshot() const { return {Win->Trace, Port->Written, S->SessionState()}; }

  // Runs `start` and the script fed whole, one byte per notification, and split
  // at every `stride`-th position; all runs must end alike. Leaves the run fed
  // whole in place.
  void ExpectSameAtEverySplit(const std::function<void()>& start, const std::string& script,
                              size_t stride = 1) {
    std::vector<std::vector<size_t>> feeds;
    feeds.push_back(std::vector<size_t>(script.size(), 1));
    for (size_t k = 1; k < script.size(); k += stride) feeds.push_back({k});
    std::vector<Outcome> outcomes;
    for (const auto& feed : feeds) {
      Reset();
      start();
      Feed(script, feed);
      outcomes.push_back(Snapshot());
    }
    Reset();
    start();
    FeedWhole(script);
    const Outcome whole = Snapshot();
    for (size_t i = 0; i < outcomes.size(); ++i) {
      ASSERT_EQ(outcomes[i], whole) << "feed " << i << " differs from the whole script";
    }
  }

  fs::path Dir;
  std::unique_ptr<FakePort> Port;
  std::unique_ptr<RecordingObserver> Win;
  std::optional<std::string> Chosen;
  std::unique_ptr<Session> S;
  std::vector<std::chrono::milliseconds> Paused;
  std::chrono::steady_clock::time_point Now{};
};
