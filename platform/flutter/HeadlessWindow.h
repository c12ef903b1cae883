#pragma once
// The top-level window without a screen. It keeps the desktop window's life
// cycle: Create (scaled by the monitor's DPI, then OnCreate), a message loop
// on the process's platform queue, Close leading to Destroy (OnDestroy) and,
// with quit-on-close set, the end of the loop.

#include "platform/flutter/MessageQueue.h"

#include <cstdint>
#include <string>

namespace win32 {

struct Point {
    std::int32_t x;
    std::int32_t y;
};

struct Size {
    std::int32_t width = 1200;
    std::int32_t height = 768;
};

// The scale of the monitor the main window opened on (DPI / 96); 1.0 until
// a window has been created.
extern double windowScale;

// The DPI of the monitor; 96 unless LUMIVEX_DPI names a positive number.
unsigned GetDpiForMonitor();
// The origin and size a window gets at the given scale: each value times
// the scale, truncated toward zero.
Point ScalePoint(Point p, double scale);
Size ScaleSize(Size s, double scale);

// The process's platform (main) thread queue.
MessageQueue& MainQueue();

class HeadlessWindow {
public:
    HeadlessWindow();
    virtual ~HeadlessWindow();
    HeadlessWindow(const HeadlessWindow&) = delete;
    HeadlessWindow& operator=(const HeadlessWindow&) = delete;

    // Destroys any window this object has, then creates it; false when
    // OnCreate refuses.
    bool Create(const std::string& title, Point origin, Size size);
    void Destroy();
    // Closes the window from any thread: the destruction runs on the
    // platform queue.
    void Close();
    void SetQuitOnClose(bool quitOnClose) { quitOnClose_ = quitOnClose; }

    bool created() const { return created_; }
    const std::string& title() const { return title_; }
    Point origin() const { return origin_; }
    Size size() const { return size_; }

    // Runs the platform queue until a quit; returns its exit code.
    static int RunMessageLoop();

protected:
    virtual bool OnCreate() { return true; }
    virtual void OnDestroy() {}

private:
    bool quitOnClose_ = false;
    bool created_ = false;
    std::string title_;
    Point origin_{0, 0};
    Size size_{0, 0};
};

}  // namespace win32
