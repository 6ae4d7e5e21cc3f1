#pragma once
// The font for texts laid out in columns (port status lines, the log viewer's
// rows, the report memo): a family that really draws every character equally
// wide on this desktop's font set.
#include <QFont>

namespace dupmon {

// `wanted` itself when it draws fixed pitch here; otherwise the system's fixed
// font, or the first fixed-pitch family there is, at `wanted`'s size and
// weight. Font sets differ: fontconfig may answer a family the desktop lacks
// ("Courier New") with a look-alike that is not fixed pitch at all, or whose
// fixed pitch is not recorded.
QFont fixedPitchFont(const QFont& wanted);

// A family the windows were drawn with, at `points`, through fixedPitchFont.
QFont fixedPitchFont(const char* family, int points, bool bold = false);

// True when every printable ASCII character is drawn equally wide in `font`:
// what columns of text need, whatever the font's own records say.
bool drawsFixedPitch(const QFont& font);

} // namespace dupmon
