// The simulated front panel's shared file: mapping it and its atomic words.
#include "platform/gpio_panel.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/log.h"

static_assert(sizeof(GpioPanelWords) <= GpioPanel::kFileSize);

GpioPanel::~GpioPanel() {
  if (words_) munmap(words_, kFileSize);
}

bool GpioPanel::open(const std::string& path) {
  if (words_) return true;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) {
    klog(LOG_ERR, "gpio panel %s: cannot open: %s", path.c_str(), strerror(errno));
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    klog(LOG_ERR, "gpio panel %s: not a regular file, keys stay released", path.c_str());
    close(fd);
    return false;
  }
  if (st.st_size < kFileSize && ftruncate(fd, kFileSize) != 0) {
    klog(LOG_ERR, "gpio panel %s: cannot size it: %s", path.c_str(), strerror(errno));
    close(fd);
    return false;
  }
  void* p = mmap(nullptr, kFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) {
    klog(LOG_ERR, "gpio panel %s: cannot map it: %s", path.c_str(), strerror(errno));
    return false;
  }
  words_ = static_cast<GpioPanelWords*>(p);
  // A fresh (zero) file is claimed by whoever maps it first; anything else without the mark is
  // someone else's data laid over ours, started again from keys up.
  uint32_t expected = 0;
  std::atomic_ref<uint32_t> magic(words_->magic);
  if (!magic.compare_exchange_strong(expected, kMagic) && expected != kMagic) {
    klog(LOG_ERR, "gpio panel %s: unknown contents, cleared", path.c_str());
    store(words_->keysDown, 0);
    for (auto& r : words_->replies) store(r, 0);
    magic.store(kMagic);
  }
  return true;
}

uint32_t GpioPanel::load(const uint32_t& w) const {
  return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(w)).load(std::memory_order_acquire);
}
void GpioPanel::store(uint32_t& w, uint32_t v) { std::atomic_ref<uint32_t>(w).store(v, std::memory_order_release); }
void GpioPanel::add(uint32_t& w) { std::atomic_ref<uint32_t>(w).fetch_add(1, std::memory_order_acq_rel); }

void GpioPanel::setKey(int key, bool down) {
  if (!words_ || key < 1 || key > 6) return;
  std::atomic_ref<uint32_t> k(words_->keysDown);
  const uint32_t bit = 1u << (key - 1);
  if (down)
    k.fetch_or(bit);
  else
    k.fetch_and(~bit);
}
uint32_t GpioPanel::keysDown() const { return words_ ? load(words_->keysDown) & 0x3F : 0; }
void GpioPanel::setReply(int code, uint32_t value) {
  if (words_ && code >= 0 && code < 256) store(words_->replies[code], value & 0xFFF);
}
uint32_t GpioPanel::reply(int code) const {
  return words_ && code >= 0 && code < 256 ? load(words_->replies[code]) & 0xFFF : 0;
}
uint32_t GpioPanel::pressesSeen(int key) const {
  return words_ && key >= 1 && key <= 6 ? load(words_->pressesSeen[key - 1]) : 0;
}
uint32_t GpioPanel::exchanges() const { return words_ ? load(words_->exchanges) : 0; }
uint32_t GpioPanel::lastCode() const { return words_ ? load(words_->lastCode) : 0; }
uint32_t GpioPanel::lastReply() const { return words_ ? load(words_->lastReply) : 0; }
uint32_t GpioPanel::timingFaults() const { return words_ ? load(words_->timingFaults) : 0; }
uint32_t GpioPanel::outputs() const { return words_ ? load(words_->outputs) : 0; }
uint32_t GpioPanel::levelReads() const { return words_ ? load(words_->levelReads) : 0; }

void GpioPanel::notePressSeen(int key) {
  if (words_ && key >= 1 && key <= 6) add(words_->pressesSeen[key - 1]);
}
void GpioPanel::noteExchange(uint32_t code, uint32_t reply) {
  if (!words_) return;
  store(words_->lastCode, code);
  store(words_->lastReply, reply);
  add(words_->exchanges);
}
void GpioPanel::noteTimingFault() {
  if (words_) add(words_->timingFaults);
}
void GpioPanel::setOutputs(uint32_t latches) {
  if (words_) store(words_->outputs, latches);
}
void GpioPanel::noteLevelRead() {
  if (words_) add(words_->levelReads);
}
