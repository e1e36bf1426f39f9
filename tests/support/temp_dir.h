// A fresh directory for one test, removed with everything in it afterwards.
#pragma once

#include <atomic>
#include <filesystem>
#include <random>
#include <fstream>
#include <string>
#include <vector>

namespace tarnlink::testing {

class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
      path_ = base / ("tarnlink-test-" + std::to_string(std::random_device{}()) + "-" +
                      std::to_string(counter++));
      if (std::filesystem::create_directory(path_)) break;
    }
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path file(const std::string& name, const std::string& content) const {
    const auto file_path = path_ / name;
    std::ofstream(file_path, std::ios::binary).write(content.data(),
                                                     static_cast<std::streamsize>(content.size()));
    return file_path;
  }
  static std::string read(const std::filesystem::path& file_path) {
    std::ifstream in(file_path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  std::filesystem::path path_;
};

}  // namespace tarnlink::testing
