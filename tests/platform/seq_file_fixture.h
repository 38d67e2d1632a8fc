// A fresh folder per test for the sequential file's tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>

#include "platform/seq_file.h"

class SeqFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto name = "seqfile-" + std::to_string(std::random_device{}());
    dir_ = std::filesystem::temp_directory_path() / name;
    ASSERT_TRUE(std::filesystem::create_directory(dir_));
    ASSERT_EQ(SeqFile::DefaultOpenMode, FileOpenMode::ReadOnly);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  void Put(const std::string& name, const std::string& bytes) const {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
  }
  std::string Contents(const std::string& name) const {
    std::ifstream in(dir_ / name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }
  std::filesystem::path dir_;
};

inline int CodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const InOutError& e) {
    return e.Code();
  }
  return 0;
}
