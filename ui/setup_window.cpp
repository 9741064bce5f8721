#include "ui/setup_window.h"

SetupWindow::SetupWindow(const mvpk::Reader* reader_, ProductInfo info_, SetupOptions options_)
    : reader(reader_), info(std::move(info_)), options(std::move(options_)) {}

int SetupWindow::Run(HINSTANCE) {
    // Not built yet: no installation happened.
    return 1603;
}
