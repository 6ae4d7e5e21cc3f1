// The font of the column texts: whatever family is asked for and whatever
// fonts this desktop has, the font chosen draws every character equally wide
// and keeps the size and weight asked for.
#include <gtest/gtest.h>

#include <QFontInfo>
#include <QFontMetricsF>

#include "common/fixed_pitch_font.h"
#include "machine_window/widget_support.h"
#include "support/layout_check.h"

using namespace dupmon;

TEST(FixedPitchFont, AnyFamilyAskedForComesOutFixedPitchAtItsSize) {
    testApplication();
    struct Case {
        const char* family;
        QFont::StyleHint hint;
        int points, pixels;
        bool bold;
    } cases[] = {
        {"Courier New", QFont::TypeWriter, 12, 0, false},
        {"Courier New", QFont::TypeWriter, 10, 0, true},
        {"Courier New", QFont::TypeWriter, 0, 16, false},
        // Families that are not fixed pitch on any font set: the fallback.
        {"DejaVu Sans", QFont::SansSerif, 11, 0, false},
        {"Book Antiqua", QFont::Serif, 12, 0, true},
        {"no such family here", QFont::AnyStyle, 24, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.family);
        QFont wanted{QString(c.family)};
        wanted.setStyleHint(c.hint);
        if (c.points)
            wanted.setPointSize(c.points);
        else
            wanted.setPixelSize(c.pixels);
        wanted.setBold(c.bold);
        for (int again = 0; again < 2; ++again) { // the second answer comes from what was kept
            const QFont font = fixedPitchFont(wanted);
            EXPECT_EQ(unevenCharacters(font), "") << QFontInfo(font).family().toStdString();
            EXPECT_EQ(font.pointSize(), c.points ? c.points : -1);
            EXPECT_EQ(font.pixelSize(), c.pixels ? c.pixels : -1);
            EXPECT_EQ(QFontInfo(font).bold(), c.bold);
        }
    }
    // The helper for the windows' family, size and weight agrees.
    const QFont port = fixedPitchFont("Courier New", 12, true);
    EXPECT_EQ(unevenCharacters(port), "");
    EXPECT_EQ(port.pointSize(), 12);
    EXPECT_TRUE(port.bold());
}

// The measure itself: a proportional font is caught, character by character.
TEST(FixedPitchFont, AProportionalFontIsSeenAsSuch) {
    testApplication();
    QFont sans("DejaVu Sans");
    sans.setPointSize(12);
    EXPECT_FALSE(drawsFixedPitch(sans));
    EXPECT_NE(unevenCharacters(sans), "");
    QFont mono("DejaVu Sans Mono");
    mono.setPointSize(12);
    EXPECT_TRUE(drawsFixedPitch(mono));
}
