#pragma once
// The folder a fuzz process works in: made fresh at start-up, the current directory while a run
// works, and removed at exit; and the files every run finds there. The fuzz targets hand the
// program only paths relative to it, so the process (which may run as root) never touches anything
// outside.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace lbe::fuzzing {

// Names of the laid-out entries, for the name tables of the targets.
inline constexpr std::string_view kDataFile = "data";    // 300 bytes
inline constexpr std::string_view kEmptyFile = "empty";  // 0 bytes
inline constexpr std::string_view kBigFile = "big";      // 70,000 bytes, more than the image
inline constexpr std::string_view kHugeFile = "huge";    // 2^31 bytes, sparse: 64 KiB of it load
inline constexpr std::string_view kFolder = "dir";       // a folder holding "inner"
inline constexpr std::string_view kFifo = "fifo";        // no file's contents
inline constexpr std::string_view kLink = "link";        // -> data
inline constexpr std::string_view kDanglingLink = "dangling";  // -> gone (missing)
inline constexpr std::string_view kLinkLoop = "loop";          // -> loop
inline constexpr std::string_view kProgramFile = "data.prg";   // load address 0801, 300 bytes
inline constexpr std::string_view kShortProgram = "one.prg";   // 1 byte: no whole load address
inline constexpr std::string_view kFarProgram = "far.prg";     // load address FFF0, 17 bytes

inline std::string& FolderPath() {
  static std::string path;
  return path;
}

inline void RemoveFolder() {
  if (!FolderPath().empty()) {
    std::error_code error;
    std::filesystem::remove_all(FolderPath(), error);
  }
}

// tmpfs where there is one: a save ends with fsync, which a disk would make slow.
inline std::string TemporaryBase() {
  if (const char* base = std::getenv("TMPDIR"); base != nullptr && base[0] != '\0') {
    return base;
  }
  std::error_code error;
  if (std::filesystem::is_directory("/dev/shm", error) && ::access("/dev/shm", W_OK) == 0) {
    return "/dev/shm";
  }
  return "/tmp";
}

// Makes the folder and has it removed at exit. Aborts when it cannot: running anywhere else
// would be unsafe.
inline void MakeFreshFolder(std::string_view prefix) {
  std::string pattern = TemporaryBase() + "/" + std::string(prefix) + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    std::perror("fuzz: cannot make a temporary folder");
    std::abort();
  }
  // The kernel's own spelling, without any link on the way, to compare with getcwd later.
  std::error_code error;
  FolderPath() = std::filesystem::canonical(buffer.data(), error).native();
  if (error || FolderPath().empty()) {
    std::fputs("fuzz: cannot read the temporary folder's path\n", stderr);
    std::abort();
  }
  std::atexit(RemoveFolder);
}

// The folder is the current directory for the scope's life: each run works inside it, while
// libFuzzer reads and writes its corpus and artifacts where it was started, so relative paths
// on its command line keep working.
class InsideFolder {
 public:
  InsideFolder() : former_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (former_ < 0 || ::chdir(FolderPath().c_str()) != 0) {
      std::perror("fuzz: cannot enter the temporary folder");
      std::abort();
    }
  }
  ~InsideFolder() {
    if (::fchdir(former_) != 0) {
      std::perror("fuzz: cannot leave the temporary folder");
      std::abort();
    }
    ::close(former_);
  }
  InsideFolder(const InsideFolder&) = delete;
  InsideFolder& operator=(const InsideFolder&) = delete;

 private:
  int former_;
};

inline void WriteBytes(std::string_view name, const std::vector<unsigned char>& bytes) {
  const std::string path(name);
  if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }
}

// Empties the current folder (links are removed, never followed) and lays out the entries
// named above. Only ever called inside the folder MakeFreshFolder made.
inline void LayOutFiles() {
  namespace fs = std::filesystem;
  std::error_code error;
  if (FolderPath().empty() || fs::current_path(error).native() != FolderPath()) {
    std::fputs("fuzz: not inside the fuzz folder\n", stderr);
    std::abort();
  }
  for (const fs::directory_entry& entry : fs::directory_iterator(".", error)) {
    fs::remove_all(entry.path(), error);
  }
  std::vector<unsigned char> data(300);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<unsigned char>(i * 7 + 1);
  }
  WriteBytes(kDataFile, data);
  std::vector<unsigned char> program = {0x01, 0x08};
  program.insert(program.end(), data.begin(), data.end());
  WriteBytes(kProgramFile, program);
  WriteBytes(kShortProgram, {0x01});
  WriteBytes(kFarProgram, {0xF0, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17});
  WriteBytes(kEmptyFile, {});
  WriteBytes(kBigFile, std::vector<unsigned char>(70000, 0xA5));
  const std::string huge(kHugeFile);
  const int fd = ::open(huge.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) {
    if (::ftruncate(fd, off_t{1} << 31) != 0) {
      std::perror("fuzz: cannot make the sparse file");
    }
    ::close(fd);
  }
  fs::create_directory(std::string(kFolder), error);
  WriteBytes(std::string(kFolder) + "/inner", std::vector<unsigned char>(8, 0x11));
  ::mkfifo(std::string(kFifo).c_str(), 0644);
  fs::create_symlink(std::string(kDataFile), std::string(kLink), error);
  fs::create_symlink("gone", std::string(kDanglingLink), error);
  fs::create_symlink(std::string(kLinkLoop), std::string(kLinkLoop), error);
}

}  // namespace lbe::fuzzing
