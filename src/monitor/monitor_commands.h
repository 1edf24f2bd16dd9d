// SPDX-License-Identifier: GPL-2.0-or-later
// The monitor's command texts and the device addresses they name.
#pragma once

#include <cstdint>
#include <string>

// The receiver's entry and the RAM area it fills, as the monitor sees them.
constexpr unsigned long LOADER_ENTRY = 0xA0080274;
// The same receive after a negotiation of a faster line (-b); pinned in the loader's image.
constexpr unsigned long LOADER_FAST_ENTRY = 0xA00802A0;
// The streamed receive of a fast run: the loader's second stage, which the run
// uploads after the loader into RAM the loader leaves unused (firmware/loader.h).
constexpr unsigned long STREAM_STAGE_ENTRY = 0xA0083000;
// The CRC-32 of a range of the flash, for -V; pinned in the loader's image too.
constexpr unsigned long LOADER_VERIFY_ENTRY = 0xA0080240;
// One CRC-64 for each flash block of a range, for -u; pinned in the loader's image too.
constexpr unsigned long LOADER_DIGEST_ENTRY = 0xA0080260;
constexpr unsigned long RAM_RECEIVE_AREA = 0x80090000;

constexpr char CMD_WAKE[] = "\r";
constexpr char CMD_LOAD[] = "load\r";
// "g -e <entry>\r": runs the program at entry (LOADER_ENTRY gives "g -e a0080274").
constexpr char CMD_START_FORMAT[] = "g -e %lx\r";
// The start command for the program at entry.
std::string format_start_command(unsigned long entry);
// "flash <RAM source> <size> <offset>\r", all in lower-case hexadecimal.
constexpr char CMD_FLASH_FORMAT[] = "flash %lx %lx %lx\r";
// The flash command for flash_size bytes at offset.
std::string format_flash_command(int64_t flash_size, int64_t offset);
constexpr char CMD_CONFIRM[] = "y\r";
constexpr char CMD_DECLINE[] = "n\r";  // the monitor took another flash command than the one sent
constexpr char CMD_UNZIP[] = "unzip\r";
constexpr char CMD_RESTORE[] = "$linux console=ttyS0,115200 init=/sbin/restore_defaults\r";
constexpr char CMD_BOOT[] = "$linux\r";

// The upload command's echo: a monitor that shows it (or the start command's)
// must echo the flash command too.
constexpr char ECHO_LOAD[] = "load";
// The text the monitor answers a flash command it will carry out with; the
// question comes without a line end. Only then is "y" typed.
constexpr char REPLY_CONFIRM_QUESTION[] = "(y/n)";

// Texts the dialogue looks for in the monitor's replies.
constexpr char REPLY_PROGRAMMING[] = "Programming block";
constexpr char REPLY_ERROR[] = "Error";
constexpr char REPLY_HARD_RESET[] = "Hard reset";
