// Saved identities: what an interrupted update is finished with.
#include "core/identity_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

class IdentityStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ =
        fs::temp_directory_path() /
        ("identity-store-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }
  fs::path folder_;
};

TEST_F(IdentityStoreTest, TheLastIdentityAndOnePerSerialNumberComeBackWhole) {
  std::vector<uint8_t> block(4096, 0xFF);
  block[0] = 'B';
  const DeviceIdentity first{"DEMO165", "1.0a", 4711, true, "LABEL-7"};
  const DeviceIdentity second{"DEMO165", "1.0a", 0, false, ""};
  std::string why;
  ASSERT_TRUE(SaveIdentity(first, block, &why, folder_.string())) << why;
  ASSERT_TRUE(SaveIdentity(second, {}, &why, folder_.string())) << why;

  const auto last = LastSavedIdentity(folder_.string());
  ASSERT_TRUE(last);
  EXPECT_EQ(last->Identity.ProductName, "DEMO165");
  EXPECT_FALSE(last->Identity.SerialNumberFound);
  const auto kept = LoadIdentity((folder_ / "serial-4711.json").string(), &why);
  ASSERT_TRUE(kept) << why;
  EXPECT_EQ(kept->Identity.SerialNumber, 4711u);
  EXPECT_EQ(kept->Identity.BrandLabel, "LABEL-7");
  EXPECT_EQ(kept->Block, block);
  EXPECT_EQ(kept->Time.size(), 19u);
  EXPECT_FALSE(fs::exists(folder_ / "last.json.new"));
}

TEST_F(IdentityStoreTest, PortsSavingAtTheSameMomentAllKeepTheirIdentity) {
  constexpr int Ports = 4;
  constexpr int Saves = 50;
  std::vector<std::thread> ports;
  std::atomic<int> failed{0};
  for (int port = 0; port < Ports; ++port) {
    ports.emplace_back([&, port] {
      const DeviceIdentity identity{"DEMO165", "1.0a", static_cast<uint32_t>(4000 + port), true,
                                    ""};
      for (int i = 0; i < Saves; ++i) {
        std::string why;
        if (!SaveIdentity(identity, {}, &why, folder_.string())) {
          ADD_FAILURE() << why;
          ++failed;
        }
      }
    });
  }
  for (std::thread& port : ports) port.join();
  EXPECT_EQ(failed, 0);
  ASSERT_TRUE(LastSavedIdentity(folder_.string()));
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(folder_)) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, Ports + 1u) << "one per serial number and the last; no temporary left";
}

TEST_F(IdentityStoreTest, ABrokenFileIsNoIdentity) {
  fs::create_directories(folder_);
  for (const char* text :
       {"", "{}", "not json",
        R"({"time":"t","product":"","hardware":"1","serial":1,"brand":"","block":""})",
        R"({"time":"t","product":"P","hardware":"1","serial":-1,"brand":"","block":""})",
        R"({"time":"t","product":"P","hardware":"1","serial":1,"brand":"","block":"zz"})"}) {
    std::ofstream(folder_ / "last.json") << text;
    std::string why;
    EXPECT_FALSE(LastSavedIdentity(folder_.string())) << text;
  }
  EXPECT_FALSE(LoadIdentity((folder_ / "missing.json").string()));
}

}  // namespace
