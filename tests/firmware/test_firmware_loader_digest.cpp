// SPDX-License-Identifier: GPL-2.0-or-later
// The loader's digest entry on the real image in emulation: one CRC-64 line
// for each flash block a range touches, over the range's own bytes of each,
// a refused request taken again, and a return with the UART as it was and
// nothing stored but on its stack.
#include "firmware/flash_request.h"
#include "firmware/loader_checks.h"
#include "firmware/loader_machine.h"

#include "transfer/control_bytes.h"
#include "transfer/crc64.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr std::size_t FLASH_SIZE = 0x100000;  // eight blocks
constexpr std::uint32_t BLOCK = 0x20000;
constexpr std::size_t STACK_ROOM = 0x100;
const std::string OFFER = "DIGEST\r\n";
const std::string ACK_TEXT(1, static_cast<char>(ACK));
const std::string NAK_TEXT(1, static_cast<char>(NAK));

std::vector<std::uint8_t> flash_contents() { return random_flash(26, FLASH_SIZE); }

std::vector<std::uint8_t> request(std::uint32_t offset, std::uint32_t length, std::uint32_t check_error = 0) {
    return flash_request('D', offset, length, check_error);
}

// The lines the entry must print for the range: one per flash block it touches.
std::string block_lines(const std::vector<std::uint8_t>& flash, std::uint32_t offset, std::uint32_t length) {
    std::string lines;
    while (length != 0) {
        const std::uint32_t size = std::min(BLOCK - offset % BLOCK, length);
        char line[48];
        std::snprintf(line, sizeof line, "BLOCK %08x %016llx\r\n", offset,
                      static_cast<unsigned long long>(crc64_update(0, flash.data() + offset, size)));
        lines += line;
        offset += size;
        length -= size;
    }
    return lines;
}

// The entry, asked the requests in turn over `flash`.
void run_asked(LoaderMachine& machine, const std::vector<std::uint8_t>& flash,
               std::initializer_list<std::vector<std::uint8_t>> requests) {
    run_asked(machine, flash, OFFER, requests, LOADER_DIGEST_ENTRY);
}

void expect_clean_return(const LoaderMachine& machine) {
    expect_clean_return_with_gate(machine);
    EXPECT_EQ(machine.divisors, std::vector<std::uint16_t>{8});
    EXPECT_TRUE(machine.lcr_other_bits_kept);
    expect_stores_only_on_stack(machine, STACK_ROOM);
}

}  // namespace

TEST(LoaderDigest, ReportsOneCrc64ForEachBlockOverTheRangesOwnBytes) {
    const std::vector<std::uint8_t> flash = flash_contents();
    struct Case {
        const char* name;
        std::uint32_t offset;
        std::uint32_t length;
    };
    const Case cases[] = {
        {"three whole blocks", BLOCK, 3 * BLOCK},
        {"an image that ends inside its last block", 0, 2 * BLOCK + 0x1235},
        {"a range that starts inside a block", BLOCK + 0x10, BLOCK},
        {"one byte", 0x7FFFF, 1},
        {"nothing to digest", 0x40000, 0},
        {"the whole flash", 0, FLASH_SIZE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoaderMachine machine;
        run_asked(machine, flash, {request(c.offset, c.length)});

        EXPECT_EQ(machine.sent, OFFER + ACK_TEXT + block_lines(flash, c.offset, c.length));
        expect_clean_return(machine);
    }
}

// The request is taken as the verify entry's is, with the digest's own tag:
// a verify request or a damaged one is refused, and the resend counts.
TEST(LoaderDigest, RefusesAnotherTagOrADamagedRequestAndTakesItsResend) {
    const std::vector<std::uint8_t> flash = flash_contents();
    std::vector<std::uint8_t> verify_request = request(0, BLOCK);
    verify_request[0] = 'V';
    const std::vector<std::uint8_t> refused[] = {verify_request, request(0, BLOCK, 1)};
    for (const std::vector<std::uint8_t>& first : refused) {
        LoaderMachine machine;
        run_asked(machine, flash, {first, request(0, BLOCK)});

        EXPECT_EQ(machine.sent, OFFER + NAK_TEXT + ACK_TEXT + block_lines(flash, 0, BLOCK));
        expect_clean_return(machine);
    }
}
