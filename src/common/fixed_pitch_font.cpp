// Finding a font that really draws every character equally wide, among
// fontconfig's look-alikes.
#include "common/fixed_pitch_font.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QHash>
#include <QString>
#include <QStringList>
#include <cmath>

namespace dupmon {

namespace {

QFont sizedLike(QFont font, const QFont& wanted) {
    if (wanted.pixelSize() > 0)
        font.setPixelSize(wanted.pixelSize());
    else if (wanted.pointSizeF() > 0)
        font.setPointSizeF(wanted.pointSizeF());
    font.setWeight(wanted.weight());
    font.setItalic(wanted.italic());
    return font;
}

} // namespace

bool drawsFixedPitch(const QFont& font) {
    const QFontMetricsF metrics(font);
    const qreal width = metrics.horizontalAdvance(QChar(' '));
    if (width <= 0)
        return false;
    for (char16_t c = 0x21; c < 0x7F; ++c)
        if (std::abs(metrics.horizontalAdvance(QChar(c)) - width) > 0.01)
            return false;
    return true;
}

QFont fixedPitchFont(const QFont& wanted) {
    // Asked for often with the same few fonts: the family found is kept (a
    // name, not a font, so nothing of the font system outlives the program's
    // application object). An empty name: `wanted` itself.
    static QHash<QString, QString> chosen;
    const QString key = wanted.key();
    if (auto it = chosen.constFind(key); it != chosen.constEnd())
        return it->isEmpty() ? wanted : sizedLike(QFont(*it), wanted);
    if (drawsFixedPitch(wanted)) {
        chosen.insert(key, QString());
        return wanted;
    }
    QStringList families{QFontDatabase::systemFont(QFontDatabase::FixedFont).family(),
                         QFontInfo(QFont("monospace")).family()};
    for (const QString& family : QFontDatabase::families())
        if (QFontDatabase::isFixedPitch(family))
            families.append(family);
    for (const QString& family : families) {
        const QFont candidate = sizedLike(QFont(family), wanted);
        if (drawsFixedPitch(candidate)) {
            chosen.insert(key, family);
            return candidate;
        }
    }
    chosen.insert(key, QString()); // nothing better here
    return wanted;
}

QFont fixedPitchFont(const char* family, int points, bool bold) {
    QFont f{QString::fromLatin1(family)};
    f.setPointSize(points);
    f.setBold(bold);
    // A family the desktop lacks is answered with one of its kind.
    f.setStyleHint(QFont::TypeWriter);
    return fixedPitchFont(f);
}

} // namespace dupmon
