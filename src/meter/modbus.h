#pragma once
// Modbus RTU for the two analyser readers: the CRC-16, the read-input-registers
// requests and the cutting of answers out of the received byte stream. Pure
// functions, one char per byte, usable without a reading thread.

#include <cstdint>
#include <string>

namespace qv {

constexpr uint8_t kModbusReadInputRegisters = 4;

// CIRCUITOR Modbus meter: 94 registers from $0700, a 193-byte answer.
constexpr uint16_t kCircuitorFirstRegister = 0x0700;
constexpr uint16_t kCircuitorRegisterCount = 94;
constexpr std::size_t kCircuitorAnswerSize = 193;
constexpr uint8_t kCircuitorByteCount = 188;
// The reader takes an answer of at least this many bytes as a reading.
constexpr std::size_t kCircuitorMinAnswer = 145;

// CIRCUITOR NRG96 analyser: 40 registers from $0000, an 85-byte answer.
constexpr uint16_t kNrg96FirstRegister = 0x0000;
constexpr uint16_t kNrg96RegisterCount = 40;
constexpr std::size_t kNrg96AnswerSize = 85;

// CRC-16 of data ($FFFF start, reflected polynomial $A001) as a number.
uint16_t ModbusCrc16(const std::string& data);
// The same as the two bytes that go on the line, low byte first.
std::string ModbusCrc(const std::string& data);

// Read-input-registers request to the low byte of the link address, with its CRC.
std::string ModbusReadRequest(int32_t linkAddress, uint16_t firstRegister, uint16_t count);
std::string CircuitorRequest(int32_t linkAddress);
std::string Nrg96Request(int32_t linkAddress);

// One extraction pass for the CIRCUITOR meter (selector 1). Synchronises on a
// first byte of $00 or of the request's slave address (txHead[0]); once the
// first 193 bytes carry a matching CRC the whole buffer becomes lastFrame. A
// complete candidate empties the buffer whether its CRC matched or not.
// Returns true when a frame was stored.
bool ExtractCircuitorAnswer(std::string& rxBuffer, std::string& lastFrame,
                            const std::string& txHead);

// One extraction pass for the NRG96 (selector 2). Synchronises on the first two
// bytes of the request (txHead); takes exactly one answer of function 3 or 4
// whose CRC matches and leaves what follows it in the buffer.
bool ExtractNrg96Answer(std::string& rxBuffer, std::string& lastFrame, const std::string& txHead);

// The branch of the protocol selector (1 or 2); other selectors leave the
// buffer alone.
bool ExtractModbusFrame(int32_t protocol, const std::string& txHead, std::string& rxBuffer,
                        std::string& lastFrame);

}  // namespace qv
