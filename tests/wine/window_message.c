/* Sends the upgrade window (title "BrisvaneUpgrade") what a user would:
 *   window_message escape   the Escape key (key down and up)
 *   window_message close    WM_CLOSE, as the close command does
 *   window_message find     only looks for the window
 *   window_message withdraw the client's withdrawal (its registered message)
 * Exits 0 when the window was found (and the message posted), 2 when there
 * is no such window, 1 when posting failed; a withdrawal exits with 10 plus
 * the window's reply. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <wchar.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 64;
  HWND window = FindWindowW(NULL, L"BrisvaneUpgrade");
  if (window == NULL) return 2;
  if (wcscmp(argv[1], L"find") == 0) return 0;
  if (wcscmp(argv[1], L"close") == 0) return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
  if (wcscmp(argv[1], L"withdraw") == 0) {
    const UINT withdraw = RegisterWindowMessageW(L"BrisvaneUpgrade withdraw");
    DWORD_PTR reply = 0;
    if (withdraw == 0 ||
        !SendMessageTimeoutW(window, withdraw, 0, 0, SMTO_ABORTIFHUNG, 10000, &reply)) {
      return 1;
    }
    return 10 + (int)reply;
  }
  if (wcscmp(argv[1], L"escape") == 0) {
    /* lParam: repeat count 1, scan code 1 (Escape); key up adds the
     * previous-state and transition bits. */
    const UINT scan = MapVirtualKeyW(VK_ESCAPE, MAPVK_VK_TO_VSC);
    const LPARAM down = 1 | ((LPARAM)scan << 16);
    const LPARAM up = down | (1L << 30) | (1L << 31);
    if (!PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, down)) return 1;
    return PostMessageW(window, WM_KEYUP, VK_ESCAPE, up) ? 0 : 1;
  }
  return 64;
}
