// Opening the GPIO register block: the mapped window of /dev/mem, or the model in a simulated root.
#include "platform/gpio_block.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include "platform/gpio_model.h"
#include "platform/log.h"
#include "platform/root.h"

namespace {

// The hardware window: every access goes to the bus, so the pointer is volatile.
class MappedGpioBlock final : public GpioBlock {
 public:
  explicit MappedGpioBlock(volatile uint32_t* regs) : regs_(regs) {}
  ~MappedGpioBlock() override { munmap(const_cast<uint32_t*>(regs_), kGpBlockWords * 4); }
  uint32_t read(int word) override { return inRange(word) ? regs_[word] : 0; }
  void write(int word, uint32_t value) override {
    if (inRange(word)) regs_[word] = value;
  }

 private:
  static bool inRange(int word) { return word >= 0 && word < kGpBlockWords; }
  volatile uint32_t* regs_;
};

}  // namespace

GpioOpen openGpioBlock(MonotonicClock& clock) {
  GpioOpen r;
  const std::string mem = rootPath("/dev/mem");
  struct stat st {};
  if (stat(mem.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    r.block = std::make_unique<GpioModel>(clock, rootPath("/sim/gpio_panel"));
    return r;
  }
  const int fd = open(mem.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
  if (fd < 0) {
    r.failure = GpioOpen::kOpen;
    return r;
  }
  void* p = mmap(nullptr, kGpBlockWords * 4, PROT_READ | PROT_WRITE, MAP_SHARED, fd, kGpioBase);
  close(fd);
  if (p == MAP_FAILED) {
    r.failure = GpioOpen::kMap;
    return r;
  }
  r.block = std::make_unique<MappedGpioBlock>(static_cast<volatile uint32_t*>(p));
  return r;
}
