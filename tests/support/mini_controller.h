#pragma once
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "protocol/checksum.h"
#include "sim/scripted_device.h"

namespace dupmon {

// A small, fully scripted controller for engine tests that need exact
// control over single answers. Each host command frame is recorded; answers
// come from `answer`, which a test may override per command.
class MiniController {
public:
    struct Command {
        char letter;
        std::vector<uint8_t> params;
    };

    std::shared_ptr<ScriptedDevice> device = std::make_shared<ScriptedDevice>();
    std::vector<Command> commands;
    std::vector<std::vector<uint8_t>> dataFrames;
    // Per command key ("A", "W23", "B"...): returns result code and data; empty data is fine.
    std::map<std::string, std::function<std::vector<uint8_t>(const Command&, uint8_t& result)>>
        handlers;
    int dropAnswers = 0;

    std::vector<uint8_t> identification(const char* model, const char* version, int ports,
                                        int deviceType, int machineType, uint8_t flags39,
                                        uint8_t flags44) {
        std::vector<uint8_t> d(44, 0);
        std::memcpy(d.data(), model, std::min<size_t>(20, std::strlen(model)));
        std::memcpy(d.data() + 20, version, std::min<size_t>(10, std::strlen(version)));
        writeBE16(d.data() + 30, 4096);
        writeBE16(d.data() + 32, uint16_t(ports));
        d[34] = uint8_t(deviceType);
        d[35] = flags39;
        d[37] = uint8_t(machineType);
        d[40] = flags44;
        return d;
    }

    MiniController() {
        device->responder = [this](ScriptedDevice& dev, const std::vector<uint8_t>& f, uint32_t t) {
            onFrame(dev, f, t);
        };
    }

    static std::vector<uint8_t> frame(uint8_t result, const std::vector<uint8_t>& data, int check) {
        std::vector<uint8_t> f(4 + data.size());
        f[0] = 0x23;
        f[3] = result;
        std::copy(data.begin(), data.end(), f.begin() + 4);
        writeBE16(f.data() + 1, uint16_t(f.size() + size_t(check) - 3));
        if (check == 1)
            f.push_back(frameSum(f.data(), f.size()));
        if (check == 4) {
            const uint32_t c = crc32(f.data(), f.size());
            f.resize(f.size() + 4);
            writeBE32(f.data() + f.size() - 4, c);
        }
        return f;
    }

    int countOf(const std::string& key) const {
        int n = 0;
        for (const auto& c : commands)
            n += keyOf(c) == key;
        return n;
    }
    static std::string keyOf(const Command& c) {
        std::string k(1, c.letter);
        if (!c.params.empty() && c.letter != 'A' && c.letter != 'B')
            k += std::to_string(c.params[0]);
        return k;
    }

private:
    void onFrame(ScriptedDevice& dev, const std::vector<uint8_t>& f, uint32_t t) {
        std::vector<uint8_t> answerFrame;
        if (f.size() >= 5 && f[0] == 0x40) {
            Command c{char(f[3]), std::vector<uint8_t>(f.begin() + 4, f.end() - 1)};
            commands.push_back(c);
            const std::string key = keyOf(c);
            uint8_t result = 0;
            std::vector<uint8_t> data;
            auto h = handlers.find(key);
            if (h != handlers.end())
                data = h->second(c, result);
            int check = 0;
            if (c.letter == 'B' || (c.letter == 'E' && c.params[0] != 10 && c.params[0] != 11) ||
                (c.letter == 'W' && (c.params[0] == 23 || c.params[0] == 30)))
                check = 1;
            if (c.letter == 'E' && (c.params[0] == 10 || c.params[0] == 11))
                check = 4;
            answerFrame = frame(result, data, check);
        } else if (!f.empty() && f[0] == 0x23) {
            dataFrames.push_back(f);
            uint8_t result = 0;
            std::vector<uint8_t> data;
            auto h = handlers.find("data");
            if (h != handlers.end())
                data = h->second(Command{'#', f}, result);
            answerFrame = frame(result, data, 0);
        } else {
            return;
        }
        if (dropAnswers > 0) {
            --dropAnswers;
            return;
        }
        dev.sendFrame(answerFrame, t);
    }
};

} // namespace dupmon
