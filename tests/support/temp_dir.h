// Scratch directories for tests, and whole files written and read back.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace tarnlink::testing {

// Every byte of the file at `path`; empty when it cannot be read.
inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The lines of the file at `path`, without their line ends.
inline std::vector<std::string> read_lines(const std::filesystem::path& path) {
  std::vector<std::string> lines;
  std::istringstream text(read_file(path));
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

// Makes the file at `path` hold exactly `bytes`; throws when it cannot.
inline void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) throw std::runtime_error("cannot write " + path.string());
}

// A new directory, only its owner's, in the system's temporary directory
// ($TMPDIR or /tmp; under Windows the user's temporary folder). The destructor
// removes it with everything in it.
class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    const auto base = std::filesystem::temp_directory_path();
    do {
      path_ = base / ("tarnlink-test-" + std::to_string(std::random_device{}()) + "-" +
                      std::to_string(counter++));
    } while (!std::filesystem::create_directory(path_));
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all);
  }
  ~TempDir() {
    std::error_code ignored;
    // A test may have made the directory unreadable; give it back before removal.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    // Wine lets go of an ended process's files a moment after its exit.
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::error_code error;
      std::filesystem::remove_all(path_, error);
      if (!error) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes `content` to the file `name` in the directory and returns its path.
  std::filesystem::path file(const std::string& name, const std::string& content) const {
    auto file_path = path_ / name;
    write_file(file_path, content);
    return file_path;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace tarnlink::testing
