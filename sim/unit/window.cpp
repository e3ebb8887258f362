// The simulator's window on SDL2: screen from the root's framebuffer file, keys into the panel file.
#include "sim/unit/window.h"

#include <SDL.h>
#include <fcntl.h>
#include <linux/input.h>
#include <sys/time.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim/panel/panel_driver.h"
#include "sim/unit/shot.h"

namespace sim {
namespace {

constexpr int kScreenW = 800, kScreenH = 480;
using Clock = std::chrono::steady_clock;

// The service keyboard's keys the window passes on, by SDL key.
int serviceKeyCode(SDL_Keycode k) {
  switch (k) {
    case SDLK_F10: return KEY_F10;
    case SDLK_F11: return KEY_F11;
    case SDLK_F12: return KEY_F12;
    case SDLK_PRINTSCREEN: return KEY_SYSRQ;
    default: return 0;
  }
}

}  // namespace

KeyRect keyRect(int key) {
  const int j = key - 1;
  const int x0 = j < 5 ? 133 * j : 665, x1 = j < 5 ? 133 * j + 129 : 798;
  return {x0, kScreenH + 10, x1 - x0 + 1, kKeyBarHeight - 20};
}

struct PanelWindow::Impl {
  std::string root;
  PanelDriver* panel = nullptr;
  SDL_Window* window = nullptr;
  SDL_Renderer* renderer = nullptr;
  SDL_Texture* texture = nullptr;
  unsigned texBpp = 0;
  int mouseKey = 0;
  Clock::time_point downAt[7];

  ~Impl() {
    if (texture) SDL_DestroyTexture(texture);
    if (renderer) SDL_DestroyRenderer(renderer);
    if (window) SDL_DestroyWindow(window);
    // All of SDL, so the session bus it opened on the way is let go too.
    if (window) SDL_Quit();
  }

  void keyDown(int key) {
    downAt[key] = Clock::now();
    panel->press(key);
  }
  // A press shorter than a tap (a quick click) is held up to a tap, so the debounce takes it.
  void keyUp(int key) {
    const auto held = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - downAt[key]).count();
    if (held < kTapMs)
      panel->holdFor(key, static_cast<int>(kTapMs - held));
    else
      panel->release(key);
  }

  // One key event and its report into the simulated service keyboard, when one is there.
  void serviceKey(int code, int value) {
    const std::string path = root + "/dev/input/by-id/sim-event-kbd";
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      fprintf(stderr, "korvane-sim window: no service keyboard at %s (%s)\n", path.c_str(), strerror(errno));
      return;
    }
    input_event ev[2]{};
    timeval now{};
    gettimeofday(&now, nullptr);
    ev[0].time = ev[1].time = now;
    ev[0].type = EV_KEY;
    ev[0].code = static_cast<uint16_t>(code);
    ev[0].value = value;
    ev[1].type = EV_SYN;
    ev[1].code = SYN_REPORT;
    if (write(fd, ev, sizeof ev) != static_cast<ssize_t>(sizeof ev))
      fprintf(stderr, "korvane-sim window: service keyboard did not take the event\n");
    close(fd);
  }

  void handle(const SDL_Event& e, bool& open) {
    switch (e.type) {
      case SDL_QUIT: open = false; break;
      case SDL_MOUSEBUTTONDOWN:
        if (e.button.button == SDL_BUTTON_LEFT && mouseKey == 0)
          for (int k = 1; k <= 6; ++k) {
            const KeyRect r = keyRect(k);
            if (e.button.x >= r.x && e.button.x < r.x + r.w && e.button.y >= r.y && e.button.y < r.y + r.h) {
              mouseKey = k;
              keyDown(k);
            }
          }
        break;
      case SDL_MOUSEBUTTONUP:
        if (e.button.button == SDL_BUTTON_LEFT && mouseKey) {
          keyUp(mouseKey);
          mouseKey = 0;
        }
        break;
      case SDL_KEYDOWN:
      case SDL_KEYUP: {
        if (e.key.repeat) break;
        const bool down = e.type == SDL_KEYDOWN;
        const SDL_Keycode k = e.key.keysym.sym;
        if (k >= SDLK_1 && k <= SDLK_6) {
          const int key = static_cast<int>(k - SDLK_1) + 1;
          if (down)
            keyDown(key);
          else
            keyUp(key);
        } else if (int code = serviceKeyCode(k)) {
          serviceKey(code, down ? 1 : 0);
        }
        break;
      }
      default: break;
    }
  }

  void draw() {
    ScreenSnapshot shot;
    if (readScreen(root, shot) && shot.width == kScreenW && shot.height == kScreenH) {
      if (!texture || texBpp != shot.bpp) {
        if (texture) SDL_DestroyTexture(texture);
        texture = SDL_CreateTexture(renderer, shot.bpp == 32 ? SDL_PIXELFORMAT_ARGB8888 : SDL_PIXELFORMAT_RGB565,
                                    SDL_TEXTUREACCESS_STREAMING, kScreenW, kScreenH);
        texBpp = shot.bpp;
      }
      if (texture) {
        SDL_UpdateTexture(texture, nullptr, shot.pixels.data(), static_cast<int>(kScreenW * shot.bpp / 8));
        // The unit's pixels carry no alpha: draw them opaque.
        SDL_SetTextureBlendMode(texture, SDL_BLENDMODE_NONE);
        SDL_Rect dst{0, 0, kScreenW, kScreenH};
        SDL_RenderCopy(renderer, texture, nullptr, &dst);
      }
    }
    SDL_SetRenderDrawColor(renderer, 20, 20, 20, 255);
    SDL_Rect bar{0, kScreenH, kScreenW, kKeyBarHeight};
    SDL_RenderFillRect(renderer, &bar);
    const uint32_t down = panel->panel().keysDown();
    for (int k = 1; k <= 6; ++k) {
      const KeyRect r = keyRect(k);
      const bool held = (down >> (k - 1)) & 1;
      SDL_SetRenderDrawColor(renderer, held ? 200 : 90, held ? 160 : 90, held ? 40 : 90, 255);
      SDL_Rect box{r.x, r.y, r.w, r.h};
      SDL_RenderFillRect(renderer, &box);
      // The key's number as that many pips.
      SDL_SetRenderDrawColor(renderer, 230, 230, 230, 255);
      for (int p = 0; p < k; ++p) {
        SDL_Rect pip{r.x + r.w / 2 - k * 7 + p * 14 + 2, r.y + r.h / 2 - 5, 10, 10};
        SDL_RenderFillRect(renderer, &pip);
      }
    }
    SDL_RenderPresent(renderer);
  }
};

PanelWindow::PanelWindow() : impl_(std::make_unique<Impl>()) {}
PanelWindow::~PanelWindow() = default;

bool PanelWindow::open(const std::string& root, PanelDriver& panel, std::string* error) {
  impl_->root = root;
  impl_->panel = &panel;
  // Plain software drawing into the window's own surface: no OpenGL driver and its threads for
  // an 800x550 picture a few dozen times a second.
  SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
  SDL_SetHint(SDL_HINT_RENDER_DRIVER, "software");
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
    if (error) *error = SDL_GetError();
    return false;
  }
  impl_->window = SDL_CreateWindow("korvane", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, kScreenW,
                                   kScreenH + kKeyBarHeight, 0);
  if (impl_->window) impl_->renderer = SDL_CreateRenderer(impl_->window, -1, SDL_RENDERER_SOFTWARE);
  if (!impl_->renderer) {
    if (error) *error = SDL_GetError();
    if (impl_->window) SDL_DestroyWindow(impl_->window);
    impl_->window = nullptr;
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    return false;
  }
  impl_->draw();
  return true;
}

bool PanelWindow::pump(int ms) {
  if (!impl_->window) return false;
  bool open = true;
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  SDL_Event e;
  while (open) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) break;
    if (SDL_WaitEventTimeout(&e, static_cast<int>(left))) impl_->handle(e, open);
    while (open && SDL_PollEvent(&e)) impl_->handle(e, open);
  }
  if (open) impl_->draw();
  return open;
}

}  // namespace sim
