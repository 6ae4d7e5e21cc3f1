#pragma once
// The frame layouts on the link (command, data and answer frames), building
// the program's frames, and which check an answer ends with.
#include <cstddef>
#include <cstdint>

namespace dupmon {

// Command frame, host to controller:
//   0     1  0x40
//   1     2  length = total - 3 (BE)
//   3     1  command letter
//   4     n  parameters (sub-command first)
//   4+n   1  sum of bytes 0..3+n
// Data frame, host to controller:
//   0     1  0x23 "#"
//   1     2  length = total (BE)
//   3     1  0x00
//   4     n  data
// Answer frame, controller to host:
//   0     1  0x23 "#"
//   1     2  length = total - 3 (BE)
//   3     1  result code
//   4     m  data
//   4+m   0/1/4 check, chosen by the command that was sent
inline constexpr uint8_t kCommandStart = 0x40;
inline constexpr uint8_t kAnswerStart = 0x23;
inline constexpr size_t kMaxCommandParams = 15;
inline constexpr size_t kLastCommandBufferSize = 20;
inline constexpr size_t kSetupBlockSize = 256;
inline constexpr size_t kSetupFrameSize = 261;

// Result codes of answers.
enum AnswerResult : uint8_t {
    RESULT_DONE = 0x00,
    RESULT_DATA_READY = 0x10,     // the controller has a block to send
    RESULT_READY_FOR_DATA = 0x41, // "A": send the data frame now
    RESULT_CHECK_ERROR = 0xFE,    // the controller found a check error in our data
};

// Builds a command frame into `out` (room for n + 5 bytes); returns its length.
size_t buildCommandFrame(uint8_t* out, char letter, const uint8_t* params, size_t n);
// Builds a plain data frame into `out` (room for n + 4 bytes); returns its length.
size_t buildDataFrame(uint8_t* out, const uint8_t* data, size_t n);
// The 261-byte setup block frame: length field 261, block at 4, sum of 0..259 at 260.
size_t buildSetupBlockFrame(uint8_t* out, const uint8_t* block256);

enum class AnswerCheck { None, Sum, Crc32 };
// The check an answer carries depends on the command it answers.
AnswerCheck answerCheckFor(const uint8_t* command, size_t length);

} // namespace dupmon
