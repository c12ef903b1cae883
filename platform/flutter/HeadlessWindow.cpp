#include "platform/flutter/HeadlessWindow.h"

#include <cstdlib>

namespace win32 {

double windowScale = 1.0;

unsigned GetDpiForMonitor() {
    if (const char* env = std::getenv("LUMIVEX_DPI")) {
        char* end = nullptr;
        unsigned long dpi = std::strtoul(env, &end, 10);
        if (end != env && *end == '\0' && dpi > 0 && dpi < 10000) return static_cast<unsigned>(dpi);
    }
    return 96;
}

Point ScalePoint(Point p, double scale) {
    return {static_cast<std::int32_t>(static_cast<double>(p.x) * scale),
            static_cast<std::int32_t>(static_cast<double>(p.y) * scale)};
}

Size ScaleSize(Size s, double scale) {
    return {static_cast<std::int32_t>(static_cast<double>(s.width) * scale),
            static_cast<std::int32_t>(static_cast<double>(s.height) * scale)};
}

MessageQueue& MainQueue() {
    static MessageQueue queue;
    return queue;
}

HeadlessWindow::HeadlessWindow() = default;

HeadlessWindow::~HeadlessWindow() {
    Destroy();
}

bool HeadlessWindow::Create(const std::string& title, Point origin, Size size) {
    Destroy();
    double scale = GetDpiForMonitor() / 96.0;
    windowScale = scale;
    title_ = title;
    origin_ = ScalePoint(origin, scale);
    size_ = ScaleSize(size, scale);
    created_ = true;
    return OnCreate();
}

void HeadlessWindow::Destroy() {
    if (!created_) return;
    created_ = false;
    OnDestroy();
}

void HeadlessWindow::Close() {
    MainQueue().Post([this] {
        if (!created_) return;
        Destroy();
        if (quitOnClose_) MainQueue().PostQuit(0);
    });
}

int HeadlessWindow::RunMessageLoop() {
    return MainQueue().Run();
}

}  // namespace win32
