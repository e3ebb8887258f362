// The JPEG codec of the screen frames: a baseline JFIF encoder and a baseline/progressive Huffman decoder,
// both working from and to memory, plus the file and memory streams they can use.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace jpeg {

// A fixed underlying type, so that an out-of-range value from outside is a value to refuse, not undefined.
enum Subsampling : int { Y_ONLY = 0, H1V1 = 1, H2V1 = 2, H2V2 = 3 };

struct EncodeParams {
  int quality = 85;  // 1 to 100
  Subsampling subsampling = H2V2;
  bool sharedTable = false;      // chroma uses the luminance quantisation table
  bool optimizeHuffman = false;  // first pass gathers symbol counts for tailored tables
};

// Where the encoder writes. Put returns false when the bytes could not be taken.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  virtual bool Put(const void* data, std::size_t length) = 0;
};

// Writes into a caller's buffer of fixed size; a write that would pass its end fails and writes nothing.
class MemorySink : public OutputSink {
 public:
  MemorySink(void* buffer, std::size_t capacity) : buffer_(static_cast<uint8_t*>(buffer)), capacity_(capacity) {}
  bool Put(const void* data, std::size_t length) override;
  std::size_t Count() const { return count_; }

 private:
  uint8_t* buffer_;
  std::size_t capacity_;
  std::size_t count_ = 0;
};

class FileSink : public OutputSink {
 public:
  explicit FileSink(const char* path);
  ~FileSink() override;
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;
  bool IsOpen() const { return file_ != nullptr; }
  bool Put(const void* data, std::size_t length) override;

 private:
  std::FILE* file_;
};

// Where the decoder reads. Read returns the bytes copied (0 at the end, -1 on error) and sets endOfStream
// once nothing more will come.
class InputSource {
 public:
  virtual ~InputSource() = default;
  virtual int Read(uint8_t* buffer, int maxBytes, bool* endOfStream) = 0;
};

class MemorySource : public InputSource {
 public:
  MemorySource(const void* data, std::size_t length) : data_(static_cast<const uint8_t*>(data)), length_(length) {}
  int Read(uint8_t* buffer, int maxBytes, bool* endOfStream) override;

 private:
  const uint8_t* data_;
  std::size_t length_;
  std::size_t pos_ = 0;
};

class FileSource : public InputSource {
 public:
  explicit FileSource(const char* path);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  bool IsOpen() const { return file_ != nullptr; }
  int Read(uint8_t* buffer, int maxBytes, bool* endOfStream) override;

 private:
  std::FILE* file_;
};

// Largest image the decoder takes: bigger headers are refused before anything is allocated.
constexpr int kMaxSide = 8192;
constexpr long kMaxPixels = 1L << 22;

// Encodes width x height pixels of `channels` bytes (1: grey; 3 or 4: R, G, B and an ignored fourth byte)
// into destination. size holds the buffer's capacity on entry and the JPEG length on return. False on a bad
// argument or when the stream does not fit.
bool EncodeToMemory(void* destination, std::size_t& size, int width, int height, int channels, const uint8_t* pixels,
                    const EncodeParams& params);
bool EncodeToSink(OutputSink& sink, int width, int height, int channels, const uint8_t* pixels,
                  const EncodeParams& params);

// Decodes a whole JPEG stream into a new buffer of width x height x requestedComponents bytes (1: grey,
// 3: R G B, 4: R G B 255) that the caller releases with std::free. Null on any error.
uint8_t* DecodeFromMemory(const uint8_t* data, std::size_t length, int* width, int* height, int* actualComponents,
                          int requestedComponents);
uint8_t* DecodeFromSource(InputSource& source, int* width, int* height, int* actualComponents, int requestedComponents);

// Why the last encode or decode on this thread failed (a short English phrase), for the caller's log line.
const char* LastError();

}  // namespace jpeg
