/*
** The link label: a static control whose window procedure is replaced, so it keeps none of the
** static control's behaviour. It draws the address itself (blue, red while the pointer is over
** it), shows the hand cursor and opens the address on a left-button press.
*/
#include "app/dialog.h"

#include <shellapi.h>

#include "base/text.h"

OpenAddressProc OpenAddress = ShellExecuteA;

static int LinkHover;   /* 1 while the pointer is over the label; dialog thread only */

static void PaintLink(HWND window)
{
    HDC dc = GetDC(window);
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    SetTextColor(dc, LinkHover ? RGB(255, 0, 0) : RGB(0, 0, 255));
    SelectObject(dc, LinkFont);
    TextOutA(dc, 0, 0, VendorAddress, lstrlenA(VendorAddress));
    ReleaseDC(window, dc);
}

static void Refresh(HWND window)
{
    InvalidateRect(window, NULL, FALSE);
    UpdateWindow(window);
}

static void SetHover(HWND window, int hover)
{
    if (LinkHover == hover)
        return;
    LinkHover = hover;
    PaintLink(window);
}

static void OnMouseMove(HWND window)
{
    Refresh(window);
    if (LinkCursor)
        SetCursor(LinkCursor);
    if (!LinkHover) {
        /* Ask for WM_MOUSELEAVE, which ends the hover colour. */
        TRACKMOUSEEVENT track = {};
        track.cbSize = sizeof track;
        track.dwFlags = TME_LEAVE;
        track.hwndTrack = window;
        TrackMouseEvent(&track);
        SetHover(window, 1);
    }
}

static void OnLeftButtonDown(void)
{
    char address[256];
    CopyText(address, sizeof address, "http://");
    AppendText(address, sizeof address, VendorAddress);
    OpenAddress(NULL, "open", address, NULL, NULL, SW_SHOWNORMAL);
}

LRESULT CALLBACK LinkLabelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_NCPAINT:
        PaintLink(window);
        return 0;
    case WM_MOUSEMOVE:
        OnMouseMove(window);
        return 0;
    case WM_MOUSELEAVE:
        SetHover(window, 0);
        return 0;
    case WM_LBUTTONDOWN:
        OnLeftButtonDown();
        return 0;
    case WM_CAPTURECHANGED:
        Refresh(window);
        SetHover(window, 0);
        return 0;
    case WM_NCDESTROY:
        /* A leave that never came must not colour the next dialog's link. */
        LinkHover = 0;
        return DefWindowProcA(window, message, wParam, lParam);
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}
