// Bytes as a script sees them: arrays of numbers or hex text in, arrays of
// variants out (Wine's engine cannot index an array of bytes), and the
// chores of device protocols: check sums and multi-byte numbers.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quillon {

using ByteString = std::vector<BYTE>;

// The longest frame a script may send or ask for.
constexpr size_t kMaxScriptFrame = 65535;

// The bytes of a script value: an array of numbers 0..255 (variants, or any
// integer or floating element type), hex text ("01 03 0A", pairs of digits,
// blanks between pairs optional), or a single number 0..255. References are
// followed. On failure error tells what is wrong and bytes is left empty.
bool BytesFromVariant(const VARIANT &value, ByteString &bytes, std::wstring &error);
bool BytesFromHex(const wchar_t *text, ByteString &bytes, std::wstring &error);

// "01 03 0A": upper-case pairs separated by one blank.
std::wstring HexFromBytes(const BYTE *bytes, size_t count);

// A one-dimensional array (lower bound 0) of variants holding Longs.
HRESULT BytesToVariant(const BYTE *bytes, size_t count, VARIANT *out);

// Modbus CRC-16 (polynomial 0xA001 reflected, start 0xFFFF); sent low byte first.
uint16_t Crc16Modbus(const BYTE *bytes, size_t count);
// Longitudinal redundancy check: the two's complement of the byte sum.
BYTE Lrc(const BYTE *bytes, size_t count);

// Unsigned numbers of width 2 or 4 bytes, most significant byte first
// unless little.
uint32_t ReadUnsigned(const BYTE *bytes, unsigned width, bool little);
void WriteUnsigned(uint32_t value, unsigned width, bool little, BYTE *out);

} // namespace quillon
