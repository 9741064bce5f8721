#include "tests/ui/screenshot.h"

#include "setup/handles.h"

#include <wincodec.h>

bool SaveWindowPng(HWND window, const std::filesystem::path& file) {
    RECT area{};
    if (!::GetWindowRect(window, &area))
        return false;
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    if (width <= 0 || height <= 0)
        return false;

    ScreenDc screen(::GetDC(nullptr));
    MemoryDc memory(::CreateCompatibleDC(screen.get()));
    GdiObject bitmap(::CreateCompatibleBitmap(screen.get(), width, height));
    if (!screen || !memory || !bitmap)
        return false;
    const HGDIOBJ previous = ::SelectObject(memory.get(), bitmap.get());
    const bool copied = ::BitBlt(memory.get(), 0, 0, width, height, screen.get(), area.left,
                                 area.top, SRCCOPY | CAPTUREBLT) != FALSE;
    ::SelectObject(memory.get(), previous);
    if (!copied)
        return false;

    std::error_code ignored;
    std::filesystem::create_directories(file.parent_path(), ignored);
    ComPtr<IWICImagingFactory> factory;
    ComPtr<IWICBitmap> picture;
    ComPtr<IWICStream> stream;
    ComPtr<IWICBitmapEncoder> encoder;
    ComPtr<IWICBitmapFrameEncode> frame;
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    return SUCCEEDED(::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_PPV_ARGS(factory.put()))) &&
           SUCCEEDED(factory->CreateBitmapFromHBITMAP(static_cast<HBITMAP>(bitmap.get()), nullptr,
                                                      WICBitmapIgnoreAlpha, picture.put())) &&
           SUCCEEDED(factory->CreateStream(stream.put())) &&
           SUCCEEDED(stream->InitializeFromFilename(file.c_str(), GENERIC_WRITE)) &&
           SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.put())) &&
           SUCCEEDED(encoder->Initialize(stream.get(), WICBitmapEncoderNoCache)) &&
           SUCCEEDED(encoder->CreateNewFrame(frame.put(), nullptr)) &&
           SUCCEEDED(frame->Initialize(nullptr)) &&
           SUCCEEDED(frame->SetSize(static_cast<UINT>(width), static_cast<UINT>(height))) &&
           SUCCEEDED(frame->SetPixelFormat(&format)) &&
           SUCCEEDED(frame->WriteSource(picture.get(), nullptr)) && SUCCEEDED(frame->Commit()) &&
           SUCCEEDED(encoder->Commit());
}
