// Small helpers the machine window builds its widgets with: colours given as
// Windows colour values, the forms' fonts, and controls placed in pixels.
#pragma once
#include <QColor>
#include <QFont>
#include <QSize>
#include <QString>
#include <cstdint>

class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QWidget;

namespace dupmon {

// Windows colour values are 0xBBGGRR.
QColor bgr(uint32_t v);
inline constexpr uint32_t kSilver = 0xC0C0C0;
inline constexpr uint32_t kBlue = 0xFF0000;
inline constexpr uint32_t kRed = 0x0000FF;
inline constexpr uint32_t kCream = 0xF0FBFF;

QColor systemWindowColour();
// The window-frame system colour of a current desktop.
QColor systemWindowFrameColour();

// The windows were drawn for two families a Linux desktop rarely has: the
// style hint lets the font system pick the closest kind it has, and the
// fixed-pitch one is checked to be fixed pitch, since its texts are columns.
QFont namedFont(const char* family, int points, bool bold = false);
// The application's font at `points`.
QFont sizedFont(int points);

void setBackground(QWidget* w, const QColor& c);
// A line edit's base colour, left alone when it already has it.
void setBase(QLineEdit* e, const QColor& c);
void setTextColour(QWidget* w, const QColor& c);

// A raised panel at a place and size.
QFrame* panel(QWidget* parent, int left, int top, int width, int height);
// Labels grow to fit their text, as auto-sized labels do.
QLabel* label(QWidget* parent, const char* name, const QString& text, int left, int top, int width,
              int height, const QFont& font);
// A read-only edit takes no focus.
QLineEdit* edit(QWidget* parent, const char* name, const QString& text, int left, int top,
                int width, int height, const QFont& font, bool readOnly);

// The size a line edit needs to show `text` whole in its font, as the edit
// itself reckons it (its frame, inner margins and text margins).
QSize editSizeFor(const QLineEdit* e, const QString& text);
// Where a group box's inside starts below its title, in its own font.
int groupBoxContentTop(const QGroupBox* g);
int textWidth(const QFont& font, const QString& text);

} // namespace dupmon
