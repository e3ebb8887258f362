// Memory and file streams for the JPEG encoder and decoder.
#include <algorithm>
#include <cstring>

#include "remote/jpeg.h"

namespace jpeg {

bool MemorySink::Put(const void* data, std::size_t length) {
  if (length > capacity_ - count_) return false;
  if (length) std::memcpy(buffer_ + count_, data, length);
  count_ += length;
  return true;
}

FileSink::FileSink(const char* path) : file_(std::fopen(path, "wb")) {}
FileSink::~FileSink() {
  if (file_) std::fclose(file_);
}
bool FileSink::Put(const void* data, std::size_t length) {
  return file_ && std::fwrite(data, 1, length, file_) == length;
}

int MemorySource::Read(uint8_t* buffer, int maxBytes, bool* endOfStream) {
  if (maxBytes < 0) return -1;
  std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(maxBytes), length_ - pos_);
  if (n) std::memcpy(buffer, data_ + pos_, n);
  pos_ += n;
  if (endOfStream) *endOfStream = pos_ == length_;
  return static_cast<int>(n);
}

FileSource::FileSource(const char* path) : file_(std::fopen(path, "rb")) {}
FileSource::~FileSource() {
  if (file_) std::fclose(file_);
}
int FileSource::Read(uint8_t* buffer, int maxBytes, bool* endOfStream) {
  if (!file_ || maxBytes < 0) return -1;
  std::size_t n = std::fread(buffer, 1, static_cast<std::size_t>(maxBytes), file_);
  if (std::ferror(file_)) return -1;
  if (endOfStream) *endOfStream = std::feof(file_) != 0;
  return static_cast<int>(n);
}

}  // namespace jpeg
