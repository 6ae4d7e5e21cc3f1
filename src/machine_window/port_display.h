#pragma once
// A port box's two status lines: their colours, the function names, and the
// renderers that write them from the port's record and the job phase.
#include <cstdint>
#include <string>

#include "machine_window/port_record.h"

namespace dupmon {

// Background colours of a port's status lines. The fixed ones are Windows
// colour values (0xBBGGRR); Window and WindowFrame are the system colours.
enum class LineColour : uint8_t { Window, WindowFrame, Green, Red, Yellow, SkyBlue };

// 0xBBGGRR of a fixed colour; 0 for the two system colours.
uint32_t lineColourValue(LineColour c);

struct PortLine {
    std::string text = " ";
    LineColour colour = LineColour::Window;
};

// What a port box shows: its two single-line status fields.
struct PortLines {
    PortLine line1;
    PortLine line2;
};

// What every renderer looks at besides the port itself.
struct RenderContext {
    int function = 0;          // statusCopy byte 2
    int phase = 0;             // statusCopy byte 3
    bool kind2 = false;        // layout kind 2 shows some lines with extra blanks
    bool probeMachine = false; // flag_support_probe_machine
};

// Name of a function code; unknown codes show their decimal value.
std::string functionName(int code);
// The function field's text for a status block: the name, or one of the
// write-protecting copy variants that byte 6 announces.
std::string functionText(const uint8_t status[28]);

// A speed or amount a / spm in single precision, "%05.3f" below 10, else
// "%05.2f", cut to its first four characters. spm must not be 0.
std::string SpeedText(uint32_t a, uint32_t spm);

// The display operations and renderers of one port: each writes the port's
// two lines (texts and colours) from its record, the running function and
// the job phase. Names are the machine window's own vocabulary.
class PortRenderer {
public:
    PortRenderer(PortRecord& port, PortLines& lines, int index, const RenderContext& ctx)
        : r_(port), out_(lines), index_(index), ctx_(ctx) {}

    // Display operations.
    void ShowReady();
    void ShowPowerOff();
    void ShowPurge();
    void ShowProgress();
    void ShowErase();
    void ShowReadSpeed();
    void ShowWriteSpeed();
    void ShowTestFail();
    void ShowTestPassWR();
    void ShowTestPassR();
    void ShowPass(bool amount);
    void ShowFail(bool amount);
    void ShowErasePass();
    void ShowEraseFail();
    void ShowProtectPass();
    void ShowReleasePass();
    void ShowProtected();
    void ShowWritable();
    void ShowBlank();
    void ShowSizeNotEnough();
    void ShowBad();
    void ShowEmpty();
    void ShowTesting();
    void ShowFormatting();
    void ShowCheckPass();
    void ShowCheckFail();
    void ShowSource();

    // Renderers, chosen by the status code or by the running function.
    void RenderTargets();
    void RenderWorking();
    void RenderOutcome();
    void RenderCopy();
    void RenderAsyncCopy();
    void RenderErase();
    void RenderTest();
    void RenderCheck();
    void RenderFormat();
    void RenderBurnIn();
    void RenderSetProtect();
    void RenderReleaseProtect();
    void RenderShowProtect();

    // The renderer of a running function for port data of code 2; false when
    // the function has none.
    bool renderByFunction();

private:
    int mb(uint64_t sectors) const;
    // "<a><b>%6dM" where the kind-2 form puts more blanks between a and the number.
    std::string amountText(const char* kind2Form, const char* otherForm, uint64_t sectors) const;
    void showAmount(); // line 1 only, colours unchanged
    void set(LineColour c1, const std::string& t1, LineColour c2, const std::string& t2);
    bool warningChip() const;
    void masterRule();
    void outcomeRule();
    void renderProtect(int testingStatus, int variant);

    PortRecord& r_;
    PortLines& out_;
    int index_;
    const RenderContext& ctx_;
};

} // namespace dupmon
