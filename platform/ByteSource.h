#pragma once
// Random access to the bytes of a file or of a buffer, for the readers of
// binary formats (version blocks, ELF section headers). Every read is
// bounds-checked: a read that would leave the bytes fails and copies nothing
// that is not there. Not thread-safe; one source per reader.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TByteSource {
 public:
  virtual ~TByteSource() = default;
  virtual std::uint64_t Size() const = 0;
  // Copies `count` bytes at `offset` into `out`; false when they are not all there.
  virtual bool Read(std::uint64_t offset, std::size_t count, void* out) const = 0;

 protected:
  bool InRange(std::uint64_t offset, std::uint64_t count) const {
    const std::uint64_t size = Size();
    return offset <= size && count <= size - offset;
  }
};

// Bytes in memory; the caller keeps them alive while the source is used.
class TMemorySource final : public TByteSource {
 public:
  explicit TMemorySource(std::string_view bytes) : FBytes(bytes) {}
  std::uint64_t Size() const override { return FBytes.size(); }
  bool Read(std::uint64_t offset, std::size_t count, void* out) const override;

 private:
  std::string_view FBytes;
};

// A regular file, read where asked. Pipes, devices and folders are refused
// (reading a pipe could block or never end): the source is then not open,
// has size 0 and every read fails. The readers ask for one number at a
// time: a small read is served from a window of the file read in one go
// around it (the ELF name table and section headers lie side by side), not
// by one system call each. The window is small (a few pages): a source is
// often made once in a process, at a moment somebody waits for (the first
// exception report reads the executable's section headers), and every
// page of a fresh buffer costs a page fault.
class TFileSource final : public TByteSource {
 public:
  explicit TFileSource(const std::string& fileName);
  ~TFileSource() override;
  TFileSource(const TFileSource&) = delete;
  TFileSource& operator=(const TFileSource&) = delete;

  bool IsOpen() const { return FHandle >= 0; }
  std::uint64_t Size() const override { return FSize; }
  bool Read(std::uint64_t offset, std::size_t count, void* out) const override;

 private:
  static constexpr std::size_t WindowSize = 8 * 1024;
  bool ReadFile(std::uint64_t offset, std::size_t count, void* out) const;

  int FHandle = -1;
  std::uint64_t FSize = 0;
  mutable std::vector<char> FWindow;  // the file's bytes from FWindowStart
  mutable std::uint64_t FWindowStart = 0;
};
