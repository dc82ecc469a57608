#pragma once

// Between the window and the stop requests, Windows builds only: a close of
// the window that another program asked for.

namespace platform::windows {

// The window was closed by a WM_CLOSE posted to it, as another program posts
// one (taskkill posts one to each of our top-level windows, the stop window
// included); the close button and Alt+F4 send theirs instead. Main thread.
void window_close_posted();

}  // namespace platform::windows
