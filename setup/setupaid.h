// setupaid: tells an installer which windows of a program are open on the
// X display.
#ifndef SETUPAID_H
#define SETUPAID_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/// Counts the open top-level windows whose class is ClassName and stores
/// their titles in Buffer.
///
/// Top-level windows are the children of each screen's root window, top of
/// the stacking order first; under a reparenting window manager the client
/// window inside each frame (the one carrying WM_STATE) stands for the frame.
/// A window's class is the class part of its WM_CLASS; it matches when it
/// equals ClassName in full, letters A to Z compared without regard to case.
/// A window's title is its _NET_WM_NAME, else its WM_NAME converted to UTF-8.
///
/// Buffer receives the titles of the matching windows in that order, each
/// followed by a carriage return (13), the whole closed by a zero byte.
/// Nothing is written at or past Buffer[BufferSize]. Empty titles are counted
/// but not stored. A title that does not fit is cut at a UTF-8 character
/// boundary and stored without its carriage return, and so is the last title
/// when fewer than three bytes would remain after it; either way no later
/// title is stored, though later windows are still counted. A carriage
/// return or line feed inside a title is stored as a space. When no window
/// matches, Buffer is not written at all. A null Buffer or a BufferSize of 0
/// or less makes the call count only.
///
/// Connects to the display named by $DISPLAY for the call and disconnects
/// before it returns; nothing is shared between calls, so calls from several
/// threads at once are safe. Windows that appear or vanish during the call
/// are counted or not, but never make it fail. The call blocks as long as
/// the X server takes to answer.
///
/// \returns the number of matching windows; 0 for a null ClassName; -1 when
/// the display cannot be reached (or the connection breaks during the call),
/// in which case Buffer is not written.
__attribute__((visibility("default"))) int32_t
GetTitlesByClassName(char* Buffer, int32_t BufferSize, const char* ClassName);

#ifdef __cplusplus
}
#endif

#endif
