// SPDX-License-Identifier: GPL-2.0-or-later
#include "monitor/dialogue.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/exit_signals.h"
#include "core/fatal.h"
#include "core/file_check.h"
#include "core/run_options.h"
#include "core/shown_text.h"
#include "jobs/flash_job.h"
#include "jobs/flash_limits.h"
#include "transfer/fast_line.h"
#include "monitor/flash_echo.h"
#include "monitor/flash_verify.h"
#include "monitor/monitor_commands.h"
#include "monitor/programming_watch.h"
#include "monitor/receipt_check.h"
#include "serial/line_speed.h"
#include "serial/port.h"
#include "serial/port_claim.h"
#include "transfer/loader_upload.h"
#include "transfer/control_bytes.h"
#include "transfer/progress.h"
#include "transfer/receiver_session.h"
#include "transfer/stream_send.h"
#include "transfer/xmodem.h"

namespace {

// Sends a constant command text whole (without its NUL).
template <size_t N>
void send_command(int port_fd, const char (&text)[N], Capture capture) {
    port_send(port_fd, text, static_cast<int>(N - 1), capture);
}

// What the dialogue has done to the handheld so far.
struct DialogueState {
    bool receiver_in_ram = false;  // uploaded by this run, or already there (-X)
    bool receiver_ours = false;    // uploaded by this run: it reports a CRC-32
    unsigned long fast_rate = 0;   // -b: every transfer negotiates this rate
    bool verify = false;           // -V: every job's flash is read back
    bool monitor_echoes = false;   // it echoed a command of this run: it must echo the flash command
};

// The handheld may still be off: wait as long as it takes for any byte (CTRL-C
// ends the wait). A failed read ends it too, and so does a line that has hung
// up (an adapter unplugged), which would answer every read at once with
// nothing: the next step then fails with its own message.
void wait_for_handheld(int port_fd, char* buffer) {
    fprintf(stderr, "Waiting for input from port (CTRL-C to exit)...");
    send_command(port_fd, CMD_WAKE, Capture::skip);
    while (read(port_fd, buffer, 1) == 0 && !port_hung_up(port_fd)) {}
    fprintf(stderr, "done\n\n");
}

void upload_loader(int port_fd, char* buffer, DialogueState& state) {
    fprintf(stderr, "Sending etxack start command...");
    send_command(port_fd, CMD_LOAD, Capture::record);
    fprintf(stderr, "done\n");
    if (echoes_command(port_readflush(port_fd), ECHO_LOAD)) state.monitor_echoes = true;
    fprintf(stderr, "Starting etxack send (xmodem-load)...");
    ex_send(port_fd);
    // A fast run streams its packets through the loader's second stage, which
    // goes the same way as part of this step, once the monitor has said its
    // "Loaded" line for the loader.
    if (state.fast_rate != 0) {
        port_readflush(port_fd);
        send_command(port_fd, CMD_LOAD, Capture::record);
        port_readflush(port_fd);
        ex_send_stream_stage(port_fd);
    }
    fprintf(stderr, "done\n\n");
    port_getpmon(port_fd, buffer);
}

// Gives the flash command and confirms it only when the monitor's echo shows
// it took the command as sent, or when the monitor echoes nothing at all;
// otherwise declines it and ends the run.
void give_flash_command(int port_fd, char* buffer, int64_t flash_size, int64_t offset, const DialogueState& state) {
    const int length = format_flash_command(buffer, flash_size, offset);
    port_send(port_fd, buffer, length, Capture::record);
    const std::string command(buffer, static_cast<size_t>(length - 1));  // without its CR
    const FlashEcho echo = judge_flash_echo(port_readflush(port_fd), command);
    if (echo.verdict == EchoVerdict::differs) {
        send_command(port_fd, CMD_DECLINE, Capture::record);
        refuse_exit("Error:  the monitor took the flash command as '%s'.  Aborting.", shown_text(echo.line).c_str());
    }
    if (echo.verdict == EchoVerdict::absent && state.monitor_echoes) {
        send_command(port_fd, CMD_DECLINE, Capture::record);
        refuse_exit("Error:  the monitor did not echo the flash command.  Aborting.");
    }
    send_command(port_fd, CMD_CONFIRM, Capture::record);
}

// One image: receiver started, image sent and checked, flash programmed from RAM.
void flash_one_job(int port_fd, char* buffer, const FlashJob& job, DialogueState& state) {
    port_getpmon(port_fd, buffer);
    if (!state.receiver_in_ram) {
        upload_loader(port_fd, buffer, state);
        state.receiver_in_ram = true;
        state.receiver_ours = true;
    }
    const char* name = job.file_name.c_str();
    // The receiver is not started for a file that is no longer what was checked.
    recheck_file(name, job.checked);
    const bool fast = state.fast_rate != 0;
    fprintf(stderr, "Sending xmodem start command...");
    const int start_length =
        snprintf(buffer, LINE_BUFFER_SIZE, CMD_START_FORMAT, fast ? STREAM_STAGE_ENTRY : LOADER_ENTRY);
    // From here until the receiver is back at the monitor, every way out stops it first.
    receiver_session_begin(port_fd, fast ? ReceiverEntry::fast : ReceiverEntry::plain);
    port_send(port_fd, buffer, start_length, Capture::record);
    fprintf(stderr, "done\n");
    FastLine line;
    if (fast) {
        // The negotiation is short and bounded; a signal waits for its end, where the session knows the line.
        ExitSignalsHeld held;
        line = fast_line_start(port_fd, state.fast_rate);
        if (line.start_nak_seen) receiver_session_read(NAK);
    }
    fprintf(stderr, "Starting xmodem send - %s...\n", name);
    XmodemDigest sent;
    std::string start_text = line.start_text;
    if (fast) {
        const StreamOptions options{.rate = line.fast ? state.fast_rate : MONITOR_RATE,
                                    .start_nak_seen = line.start_nak_seen,
                                    .checked = &job.checked,
                                    .start_text = &start_text};
        stream_send(name, port_fd, &sent, options);
    } else {
        const XmodemOptions options{.checked = &job.checked, .start_text = &start_text};
        xmodem_send(name, port_fd, &sent, options);
    }
    if (echoes_command(start_text, ECHO_START)) state.monitor_echoes = true;
    // The receiver is back at the monitor's rate and waits for our next byte before it reports.
    fast_line_end(port_fd, line);
    const std::string drained = port_getpmon(port_fd, buffer);
    receiver_session_end();
    check_receipt(drained, buffer, sent, state.receiver_ours, name);
    // What was sent is the checked file; the flash command's size is its checked one.
    recheck_file(name, job.checked);

    const int64_t flash_size = flash_round_up(job.checked.size);
    fprintf(stderr, "Sending flash command...");
    give_flash_command(port_fd, buffer, flash_size, job.offset, state);
    fprintf(stderr, "done\n");

    const WatchResult watch = watch_programming(port_fd, buffer, flash_size);
    show_progress(ProgressDraw::complete);
    // The flash may be damaged: stop before another image or a boot uses it.
    if (watch.error_reported) refuse_exit("Error:  flash programming of '%s' reported errors.  Aborting.", name);
    // Fewer blocks than asked: the monitor programmed something else, or nothing.
    const int expected = blocks_expected(flash_size);
    if (watch.blocks_reported < expected)
        refuse_exit("Error:  the monitor reported %d of %d blocks programmed for '%s'.  Aborting.",
                    watch.blocks_reported, expected, job.file_name.c_str());
    if (state.verify) verify_flash(port_fd, buffer, name, job.offset, job.checked.size, sent.image_crc);
}

void unzip_kernel(int port_fd, char* buffer) {
    fprintf(stderr, "Unzipping kernel...");
    send_command(port_fd, CMD_UNZIP, Capture::record);
    // Silence here is no error: the boot command follows regardless.
    while (port_readline(port_fd, buffer) == 0 && !line_has_prompt(buffer)) {}
    fprintf(stderr, "done\n");
}

void restore_defaults(int port_fd, char* buffer) {
    unzip_kernel(port_fd, buffer);
    fprintf(stderr, "Restoring defaults...\n");
    send_command(port_fd, CMD_RESTORE, Capture::record);
    // Echo the restore program's output up to and including its last line.
    while (port_readline(port_fd, buffer) == 0) {
        fprintf(stderr, "%s\n", shown_text(buffer).c_str());
        if (strstr(buffer, REPLY_HARD_RESET) != nullptr) break;
    }
    fprintf(stderr, "\nkelvane completed\n");
}

void restart_system(int port_fd, char* buffer) {
    unzip_kernel(port_fd, buffer);
    fprintf(stderr, "Restarting system...");
    send_command(port_fd, CMD_BOOT, Capture::record);
    fprintf(stderr, "done\n");
}

}  // namespace

void run_dialogue(const char* device_path, const RunOptions& run_options) {
    static char line_buffer[LINE_BUFFER_SIZE];

    fprintf(stderr, "Opening serial port...");
    const int port_fd = port_open_claimed(device_path);
    // Every run, whatever its switches: an adapter's latency timer would
    // otherwise hold each answer of the handheld for up to 16 ms.
    port_low_latency(port_fd);
    fprintf(stderr, "done\n");
    port_setup(port_fd);
    wait_for_handheld(port_fd, line_buffer);

    DialogueState state;
    state.receiver_in_ram = !run_options.load_loader;
    state.fast_rate = run_options.fast_rate;
    state.verify = run_options.verify_flash;
    for (const FlashJob* job = job_list; job != nullptr; job = job->next_job)
        flash_one_job(port_fd, line_buffer, *job, state);

    port_getpmon(port_fd, line_buffer);
    // Restoring boots the system as well, so it wins over a plain restart.
    if (run_options.restore_defaults)
        restore_defaults(port_fd, line_buffer);
    else if (run_options.restart_after)
        restart_system(port_fd, line_buffer);
    port_close(port_fd);
    cleanup_and_exit(0);
}
