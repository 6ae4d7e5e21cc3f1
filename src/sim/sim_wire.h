#pragma once
// The dupmon-sim socket protocol, shared by the simulator and its client.
//
// One line per message, "\n"-terminated, words separated by blanks.
// Requests from a client, each answered by one reply line "ok ..." or
// "err <reason>", in order:
//   hello                          -> ok dupmon-sim 1
//   list                           -> ok [<path>:<vid>:<pid>:<profile>:<machineId> ...]
//   open <path>                    -> ok <handle> <vid> <pid>
//   watch                          -> ok   (arrival/removal events from now on)
//   profiles                       -> ok <name> ...
//   plug <profile> [id=<text>] [logs=<n>] [first=<n>] [boards=<n>] [speed=<x>]
//                                  -> ok <path>
//   unplug <machine>               -> ok
//   media <machine> <port> insert [mb=<n>] [bad] | remove
//   job <machine> <function>       (number, or copy, compare, copycompare, copywp,
//                                   copycomparewp, erase, fullerase, doderase, h3, h5,
//                                   capacity, format, burnin, protect, release, showprotect)
//   continue <machine> | finish <machine>
//   fault <machine> <kind> [times=<n>] [delay=<ms>] [cmd=<letter>] [sub=<n>]
//                                  (kinds: wrong-check wrong-length wrong-start drop late
//                                   garbage unplug setup-check-error devinfo-short
//                                   refuse refuse-data)
//   log <machine> <n> [first=<n>]  (append n past records; renumber from first)
//   speed <machine> <x>            (job time per real time)
//   status <machine>               -> ok state=<n> sub=<n> pass=<n> fail=<n> logFirst=<n>
//                                     logCount=<n> polls=<status polls answered>
//   setup <machine>                -> ok writes=<n> <512 hex digits of the setup block>
//   devinfo <machine>              -> ok session=<0|1> releases=<n> marked=<p,p,...|->
//   masters                        -> ok [<hex machineId>,<at PC 0|1>,<MiB>,<8 hex digits of
//                                     the identification value>,<format ms> ...]
//   master <machine> format-ms=<n> (a format of its master stick at the PC takes n ms)
//   wire <ms>                      (time per report on the wire)
//   trace <name> | off             (a trace file in the folder given with --trace-dir)
//   quit                           -> ok, then the simulator stops
// <machine> is a device path or a machine identity text; ports count from 0.
// Three requests stream without a reply:
//   write <handle> <130 hex digits>   one 65-byte output report
//   close <handle>
//   event <words>                     "<ms> EVENT <words>" in the wire trace (a
//                                     window or request of the host; at most
//                                     kMaxEventLength characters)
// Events from the simulator, at any time between replies:
//   in <handle> <130 hex digits>      one 65-byte input report
//   gone <handle>                     the device behind the handle left
//   arrival <path> <vid> <pid>        (to watching clients)
//   removal <path>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dupmon::simwire {

inline constexpr const char* kGreeting = "dupmon-sim 1";
inline constexpr size_t kMaxEventLength = 200;

std::string toHex(const uint8_t* data, size_t n);
// False when the text is not exactly 2 * n hex digits.
bool fromHex(std::string_view hex, uint8_t* out, size_t n);
std::vector<std::string> splitWords(std::string_view line);
// Value of "key=value" among the words, or def.
std::string option(const std::vector<std::string>& words, std::string_view key,
                   const std::string& def = {});
bool hasWord(const std::vector<std::string>& words, std::string_view word);
// Whole unsigned decimal number; false for anything else.
bool parseNumber(std::string_view text, uint32_t& out);

} // namespace dupmon::simwire
