// LAN settings of the board: address, netmask, gateway and name server of /etc/network/interfaces.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

// One octet of an address. The key thread edits the octets while the supervisor draws them, so each
// is an atomic byte; four of them make an address, most significant first.
using LanOctet = std::atomic<uint8_t>;

// Dotted-quad texts as read from the file. They are written at start-up and by the screen that
// shows them (regenerated from the octets with SplitAddrInv), never by two threads at once.
extern char IP[32], NetMask[32], Gateway[32], DNS[32];
extern LanOctet IP_v[4], NetMask_v[4], Gateway_v[4], DNS_v[4];
// 1 when the file had no gateway / name-server value: such a value is written back empty.
extern std::atomic<uint8_t> Gateway_none, DNS_none;
// The address and cursor the parameter screen shows and edits (cursors CntIP... live in core_fields.h).
extern std::atomic<LanOctet*> LAN_vect;
extern std::atomic<int> LAN_idx;

// ModifyIP actions: the parameter screen passes its button code.
constexpr int kLanOctetDown = 1, kLanOctetUp = 2, kLanCursorLeft = 3, kLanCursorRight = 4;

// Reads the first interface that has an address. 0, or -1 when the file cannot be read (logged,
// nothing changed).
int ReadLanParam();
// Rewrites that interface's four lines from the octets (every other byte of the file kept), then
// restarts the interfaces. The restart's status, or -1 when nothing was written.
int SaveLanParam();
// "a.b.c.d" to four octets. 0, or -1 (logged, octets untouched) unless the text is exactly four
// decimal parts of 0 to 255.
int SplitAddr(const char* text, LanOctet* octets);
// Four octets to "a.b.c.d"; text must hold 16 characters.
void SplitAddrInv(char* text, const LanOctet* octets);
// One edit step; returns the new cursor (0..3).
int ModifyIP(int action, int cursor, LanOctet* octets);

// The file's text with the four values of the octets put in, as SaveLanParam writes it: the lines
// of the first interface with an address rewritten, every other byte kept. False (with the reason)
// for a file that is not text; used by SaveLanParam and by tests.
bool lanFileText(const std::string& in, std::string& out, std::string& why);
