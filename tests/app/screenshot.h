// Screenshots of the (virtual) screen, written as PNG files for people to look at.
#ifndef KRV_TEST_SCREENSHOT_H
#define KRV_TEST_SCREENSHOT_H

#include <windows.h>
#include <string>

namespace screenshot {

/* The folder the screenshots go to (a Windows path that reaches the build folder under Wine). */
std::string Folder();

/* Copies `area` of the screen into `path` as a 24-bit PNG; true when the file was written. */
bool Save(const std::string &path, const RECT &area);

}  // namespace screenshot

#endif
