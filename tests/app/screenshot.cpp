// A small PNG writer: one IDAT of stored (uncompressed) deflate blocks is a valid zlib stream,
// which is all a viewer needs; no compression library is linked into the Windows tests.
#include "tests/app/screenshot.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace screenshot {

namespace {

uint32_t Crc(const uint8_t *data, size_t n, uint32_t crc = 0)
{
    crc = ~crc;
    for (size_t i = 0; i < n; i++) {
        crc ^= data[i];
        for (int k = 0; k < 8; k++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

void Be32(std::vector<uint8_t> &out, uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8)
        out.push_back((uint8_t)(v >> s));
}

void Chunk(std::vector<uint8_t> &png, const char *type, const std::vector<uint8_t> &data)
{
    Be32(png, (uint32_t)data.size());
    std::vector<uint8_t> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    png.insert(png.end(), body.begin(), body.end());
    Be32(png, Crc(body.data(), body.size()));
}

std::vector<uint8_t> Png(int width, int height, const std::vector<uint8_t> &rgbRows)
{
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    Be32(header, (uint32_t)width);
    Be32(header, (uint32_t)height);
    header.insert(header.end(), {8, 2, 0, 0, 0});   // 8 bits, RGB, deflate, no filter, no interlace
    Chunk(png, "IHDR", header);

    std::vector<uint8_t> z = {0x78, 0x01};
    uint32_t a = 1, b = 0;
    for (size_t pos = 0; pos < rgbRows.size() || pos == 0;) {
        size_t n = rgbRows.size() - pos;
        if (n > 65535)
            n = 65535;
        bool last = pos + n == rgbRows.size();
        z.push_back(last ? 1 : 0);
        z.push_back((uint8_t)n);
        z.push_back((uint8_t)(n >> 8));
        z.push_back((uint8_t)~n);
        z.push_back((uint8_t)(~n >> 8));
        for (size_t i = 0; i < n; i++) {
            uint8_t c = rgbRows[pos + i];
            z.push_back(c);
            a = (a + c) % 65521;
            b = (b + a) % 65521;
        }
        pos += n;
        if (last)
            break;
    }
    Be32(z, (b << 16) | a);
    Chunk(png, "IDAT", z);
    Chunk(png, "IEND", {});
    return png;
}

}  // namespace

std::string Folder()
{
    std::string unixPath = KRV_SCREENSHOT_DIR;
    std::string path = "\\\\?\\unix";
    for (char c : unixPath)
        path += c == '/' ? '\\' : c;
    CreateDirectoryA(path.c_str(), NULL);
    return path;
}

bool Save(const std::string &path, const RECT &area)
{
    int width = area.right - area.left, height = area.bottom - area.top;
    if (width <= 0 || height <= 0)
        return false;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;      // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void *bits = NULL;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    bool ok = false;
    if (bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
        GdiFlush();
        std::vector<uint8_t> rows;
        rows.reserve((size_t)height * (width * 3 + 1));
        const uint8_t *p = (const uint8_t *)bits;
        for (int y = 0; y < height; y++) {
            rows.push_back(0);                                  // filter: none
            for (int x = 0; x < width; x++, p += 4) {
                rows.push_back(p[2]);
                rows.push_back(p[1]);
                rows.push_back(p[0]);
            }
        }
        SelectObject(memory, old);
        DeleteObject(bitmap);
        std::vector<uint8_t> png = Png(width, height, rows);
        HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            ok = WriteFile(file, png.data(), (DWORD)png.size(), &written, NULL) &&
                 written == png.size();
            CloseHandle(file);
        }
    }
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return ok;
}

}  // namespace screenshot
