// The integer line walk of the display's DrawLine, shared with the artwork preview so both draw alike.
#pragma once

// Calls plot(x, y) for every pixel from (x0, y0) to (x1, y1), both ends included, walking the
// major axis; coinciding end points plot nothing.
template <class Plot>
void walkLine(int x0, int y0, int x1, int y1, Plot&& plot) {
  if (x0 == x1 && y0 == y1) return;
  int dx = x1 - x0, dy = y1 - y0;
  const int sx = dx >= 1 ? 1 : -1, sy = dy >= 1 ? 1 : -1;
  dx = dx < 0 ? -dx : dx;
  dy = dy < 0 ? -dy : dy;
  int x = x0, y = y0;
  if (dx < dy) {
    int err = 2 * dx - dy;
    for (int i = 0; i <= dy; ++i) {
      plot(x, y);
      while (err >= 0) {
        x += sx;
        err -= 2 * dy;
      }
      y += sy;
      err += 2 * dx;
    }
  } else {
    int err = 2 * dy - dx;
    for (int i = 0; i <= dx; ++i) {
      plot(x, y);
      while (err >= 0) {
        y += sy;
        err -= 2 * dx;
      }
      x += sx;
      err += 2 * dy;
    }
  }
}
