// SPDX-License-Identifier: GPL-2.0-or-later
// The loader's verify entry on the real image in emulation: the request it
// takes, the CRC-32 it reports over the flash as the processor reads it at
// 0xBF000000, the requests it refuses and takes again, and that it returns
// with the UART as it found it and nothing stored but on its stack.
#include "firmware/flash_request.h"
#include "firmware/loader_checks.h"
#include "firmware/loader_machine.h"

#include "transfer/control_bytes.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr std::size_t FLASH_SIZE = 0x100000;  // a small flash: it ends at 0xBF100000
constexpr std::uint32_t WINDOW = 0x1000000;   // the most the entry reads from 0xBF000000
constexpr std::size_t STACK_ROOM = 0x100;
constexpr long POLLS_PER_TIMEOUT = 5000000;
const std::string OFFER = "VERIFY\r\n";

std::vector<std::uint8_t> flash_contents() { return random_flash(20, FLASH_SIZE); }

std::vector<std::uint8_t> request(std::uint32_t offset, std::uint32_t length, std::uint32_t check_error = 0) {
    return flash_request('V', offset, length, check_error);
}

std::string crc_line(const std::vector<std::uint8_t>& flash, std::uint32_t offset, std::uint32_t length) {
    const unsigned long crc = crc32(0, flash.data() + offset, length);
    char line[32];
    std::snprintf(line, sizeof line, "CRC32 %08lx %08x\r\n", crc, length);
    return line;
}

const std::string ACK_TEXT(1, static_cast<char>(ACK));
const std::string NAK_TEXT(1, static_cast<char>(NAK));

// The entry, asked the requests in turn over `flash`.
void run_asked(LoaderMachine& machine, const std::vector<std::uint8_t>& flash,
               std::initializer_list<std::vector<std::uint8_t>> requests) {
    run_asked(machine, flash, OFFER, requests, LOADER_VERIFY_ENTRY);
}

void expect_clean_return(const LoaderMachine& machine, std::uint16_t divisor, std::uint8_t lcr) {
    expect_clean_return_with_gate(machine);
    EXPECT_EQ(machine.divisors, std::vector<std::uint16_t>{divisor});
    EXPECT_EQ(machine.lcr(), lcr);
    EXPECT_TRUE(machine.lcr_other_bits_kept);
    expect_stores_only_on_stack(machine, STACK_ROOM);
}

}  // namespace

TEST(LoaderVerify, ReportsTheCrcOfTheRangeAsTheFlashHoldsIt) {
    const std::vector<std::uint8_t> flash = flash_contents();
    struct Case {
        std::uint32_t offset;
        std::uint32_t length;
    };
    const Case cases[] = {
        {0, 0x40000},        // a kernel's blocks
        {0x20003, 0x1FFFF},  // neither end on a word
        {0x7FFFF, 1},
        {0x1234, 0},                  // nothing to read: zlib's CRC of nothing
        {0, FLASH_SIZE},              // the whole flash
        {FLASH_SIZE - 0x333, 0x333},  // up to its last byte
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "offset 0x" << c.offset << ", length 0x" << c.length);
        LoaderMachine machine;
        run_asked(machine, flash, {request(c.offset, c.length)});

        EXPECT_EQ(machine.sent, OFFER + ACK_TEXT + crc_line(flash, c.offset, c.length));
        expect_clean_return(machine, 8, 0x03);
    }
}

// The UART is used as found: another divisor and line control stay as they are.
TEST(LoaderVerify, AnswersAtTheRateTheMonitorLeft) {
    const std::vector<std::uint8_t> flash = flash_contents();
    LoaderMachine machine;
    machine.set_uart(0x0100, 0x1B);
    run_asked(machine, flash, {request(0x100, 0x100)});

    EXPECT_EQ(machine.sent, OFFER + ACK_TEXT + crc_line(flash, 0x100, 0x100));
    expect_clean_return(machine, 0x0100, 0x1B);
}

// Each refused request is answered NAK once what is left of it has been
// dropped, and the resend is taken as if it came first; the third refusal
// ends the exchange.
TEST(LoaderVerify, RefusesADamagedRequestAndTakesItsResend) {
    const std::vector<std::uint8_t> flash = flash_contents();
    std::vector<std::uint8_t> with_extra_byte = request(0x10, 0x20);
    with_extra_byte.insert(with_extra_byte.begin() + 3, 0x56);  // a 'V' of noise inside it
    std::vector<std::uint8_t> cut_short = request(0x10, 0x20);
    cut_short.resize(7);
    std::vector<std::uint8_t> late_tag = request(0x10, 0x20);
    late_tag.insert(late_tag.begin(), '\n');

    struct Case {
        const char* name;
        std::vector<std::uint8_t> refused;
    };
    const Case cases[] = {
        {"a check that does not match", request(0x10, 0x20, 1)},
        {"another first byte than the tag", late_tag},
        {"a byte too many", with_extra_byte},
        {"a request cut short times out", cut_short},
        {"a range past the flash's 16 MiB", request(WINDOW - 0x10, 0x20)},
        {"a length past it", request(0, WINDOW + 1)},
        {"an offset that wraps around with the length", request(0xFFFFFFF0, 0x20)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoaderMachine machine;
        run_asked(machine, flash, {c.refused, request(0x10, 0x20)});

        EXPECT_EQ(machine.sent, OFFER + NAK_TEXT + ACK_TEXT + crc_line(flash, 0x10, 0x20));
        expect_clean_return(machine, 8, 0x03);
    }
}

// Three requests that time out: about a second of emulation.
TEST(LoaderVerify, GivesUpAfterThreeRefusedRequests) {
    LoaderMachine machine;
    run_asked(machine, flash_contents(), {request(0, 1, 1), request(0, 1, 1)});

    EXPECT_EQ(machine.sent, OFFER + NAK_TEXT + NAK_TEXT + NAK_TEXT + "NO REQUEST\r\n");
    EXPECT_GE(machine.silent_polls, static_cast<std::uint64_t>(POLLS_PER_TIMEOUT));
    expect_clean_return(machine, 8, 0x03);
}

// Where nothing answers at 0xBF000000 + offset the read faults after the
// ACK: on a handheld the monitor reports an exception instead of the CRC line.
TEST(LoaderVerify, ARangePastAFlashThatEndsEarlierFaultsAfterTheAck) {
    LoaderMachine machine;
    run_asked(machine, flash_contents(), {request(FLASH_SIZE - 0x10, 0x20)});

    EXPECT_EQ(machine.error, UC_ERR_READ_UNMAPPED) << uc_strerror(machine.error);
    EXPECT_EQ(machine.sent, OFFER + ACK_TEXT);
}
