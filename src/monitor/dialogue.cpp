// SPDX-License-Identifier: GPL-2.0-or-later
#include "monitor/dialogue.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
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
#include "jobs/run_piece.h"
#include "transfer/fast_line.h"
#include "monitor/block_digest.h"
#include "monitor/flash_echo.h"
#include "monitor/flash_question.h"
#include "monitor/flash_verify.h"
#include "monitor/monitor_commands.h"
#include "monitor/monitor_prompt.h"
#include "monitor/programming_watch.h"
#include "monitor/receipt_check.h"
#include "monitor/wake_recovery.h"
#include "serial/line_speed.h"
#include "serial/byte_wait.h"
#include "serial/line_reader.h"
#include "serial/port.h"
#include "serial/port_claim.h"
#include "transfer/loader_upload.h"
#include "transfer/control_bytes.h"
#include "transfer/progress.h"
#include "transfer/receiver_session.h"
#include "transfer/sender_guard.h"
#include "transfer/sent_bytes_check.h"
#include "transfer/transfer_speed.h"
#include "transfer/stream_send.h"
#include "transfer/xmodem.h"

namespace {

using Clock = std::chrono::steady_clock;

// Unzipping a kernel takes the monitor seconds; lines without its prompt for
// longer are babble, and the wait ends as a silent line's does (no error: the
// boot command follows regardless).
constexpr std::chrono::seconds UNZIP_LIMIT{50};
// The restore program's output ends with "Hard reset" once the system has
// booted and reset the settings, well within two minutes; after that the echo
// stops as it does on a silent line.
constexpr std::chrono::seconds RESTORE_LIMIT{120};

// What the dialogue has done to the handheld so far.
struct DialogueState {
    bool receiver_in_ram = false;  // uploaded by this run, or already there (-X)
    bool receiver_ours = false;    // uploaded by this run: it reports a CRC-32
    unsigned long fast_rate = 0;   // -b: every transfer negotiates this rate
    bool verify = false;           // -V: every job's flash is read back
    bool monitor_echoes = false;   // it echoed a command of this run: it must echo the flash command
    bool woken = false;            // the monitor has answered a wake-up of this run
};

// The first wake-up of the run gets back a monitor that a killed run left busy.
void wake_monitor(LineReader& reader, DialogueState& state) {
    if (state.woken) {
        port_getpmon(reader);
        return;
    }
    getpmon_recovering(reader);
    state.woken = true;
}

// The handheld may still be off: wait as long as it takes for any byte (CTRL-C
// ends the wait). A failed read ends it too, and so does a line that has hung
// up (an adapter unplugged), which would answer every read at once with
// nothing: the next step then fails with its own message. A handheld that is
// on but silent may be busy with what a killed run left: it gets the
// recovery once (wake_recovery.h).
void wait_for_handheld(LineReader& reader) {
    fprintf(stderr, "Waiting for input from port (CTRL-C to exit)...");
    reader.send_text(CMD_WAKE, Capture::skip);
    const auto recover_at = std::chrono::steady_clock::now() + RECOVERY_WAIT;
    bool recovery_sent = false;
    for (;;) {
        // Each wait is one of the line's 0.5 s reads; the byte that ends it is taken.
        const ByteWait wait = wait_for_byte(reader.fd(), PORT_READ_SILENCE);
        if (wait == ByteWait::hung_up || wait == ByteWait::failed) break;
        char byte = 0;
        if (wait == ByteWait::ready && read(reader.fd(), &byte, 1) != 0) break;
        if (reader.hung_up()) break;
        if (recovery_sent || std::chrono::steady_clock::now() < recover_at) continue;
        recovery_sent = true;
        // The recovery reads the monitor's reply to it: that is the byte waited for.
        if (recover_monitor(reader.fd())) break;
    }
    fprintf(stderr, "done\n\n");
}

void upload_loader(LineReader& reader, DialogueState& state) {
    fprintf(stderr, "Sending etxack start command...");
    reader.send_text(CMD_LOAD, Capture::record);
    fprintf(stderr, "done\n");
    if (echoes_command(reader.readflush(), ECHO_LOAD)) state.monitor_echoes = true;
    fprintf(stderr, "Starting etxack send (xmodem-load)...");
    ex_send(reader.fd(), line_has_prompt);
    // A fast run streams its packets through the loader's second stage, which
    // goes the same way as part of this step, once the monitor has said its
    // "Loaded" line for the loader.
    if (state.fast_rate != 0) {
        reader.readflush();
        reader.send_text(CMD_LOAD, Capture::record);
        reader.readflush();
        ex_send_stream_stage(reader.fd(), line_has_prompt);
    }
    fprintf(stderr, "done\n\n");
    port_getpmon(reader);
}

// What answered the flash command: drained until the monitor asks, is back
// at its prompt, or the wait for its question runs out.
std::string flash_command_answer(LineReader& reader) {
    const auto deadline = std::chrono::steady_clock::now() + FLASH_QUESTION_WAIT;
    std::string drained = reader.readflush();
    while (flash_answer(drained) == FlashAnswer::unsettled && std::chrono::steady_clock::now() < deadline)
        drained += reader.readflush();
    return drained;
}

constexpr int INTERRUPT_NOTE_SIZE = 384;
constexpr char INTERRUPT_NOTE_FORMAT[] =
    "\nInterrupted while the monitor programs the flash.  The monitor finishes programming on its own;"
    " until it does, flash 0x%llx to 0x%llx may hold a partial image.  Run the same command again once its prompt"
    " is back.\n";

// What a signal during programming tells the user, made before the monitor starts.
void arm_interrupt_note(int64_t flash_size, int64_t offset) {
    static char note[INTERRUPT_NOTE_SIZE];
    set_signal_note(nullptr);  // the buffer changes under no reader
    std::snprintf(note, sizeof note, INTERRUPT_NOTE_FORMAT, static_cast<unsigned long long>(offset),
                  static_cast<unsigned long long>(offset + flash_size - 1));
    set_signal_note(note);
}

// Gives the flash command and confirms it only when the monitor's echo shows
// it took the command as sent (or the monitor echoes nothing at all) and the
// monitor asks for the confirmation; otherwise ends the run, declining the
// command when the monitor waits for an answer.
void give_flash_command(LineReader& reader, int64_t flash_size, int64_t offset, const DialogueState& state) {
    const std::string flash_command = format_flash_command(flash_size, offset);
    reader.send(flash_command.data(), static_cast<int>(flash_command.size()), Capture::record);
    const std::string command(flash_command, 0, flash_command.size() - 1);  // without its CR
    const std::string answer = flash_command_answer(reader);
    const bool asked = flash_answer(answer) == FlashAnswer::asked;
    const FlashEcho echo = judge_flash_echo(answer, command);
    if (echo.verdict == EchoVerdict::differs) {
        if (asked) reader.send_text(CMD_DECLINE, Capture::record);
        refuse_exit("Error:  the monitor took the flash command as '%s'.  Aborting.", shown_text(echo.line).c_str());
    }
    if (echo.verdict == EchoVerdict::absent && state.monitor_echoes) {
        if (asked) reader.send_text(CMD_DECLINE, Capture::record);
        refuse_exit("Error:  the monitor did not echo the flash command.  Aborting.");
    }
    // Nothing is typed into a command line the monitor has gone back to.
    if (!asked)
        refuse_exit("Error:  the monitor refused the flash command: '%s'.  Aborting.",
                    shown_text(last_monitor_line(answer)).c_str());
    // From the confirmation on, the monitor programs whether this run goes on or not.
    arm_interrupt_note(flash_size, offset);
    reader.send_text(CMD_CONFIRM, Capture::record);
}

// The monitor at its prompt, with our receiver in RAM once this returns.
void ensure_receiver(LineReader& reader, DialogueState& state) {
    wake_monitor(reader, state);
    if (!state.receiver_in_ram) {
        upload_loader(reader, state);
        state.receiver_in_ram = true;
        state.receiver_ours = true;
    }
}

// Starts the receiver, sends the file into RAM and checks what arrived; the
// monitor is at its prompt again on return.
XmodemDigest send_image(LineReader& reader, const char* name, const FileCheck& checked, DialogueState& state) {
    // The receiver is not started for a file that is no longer what was checked.
    recheck_file(name, checked);
    const bool fast = state.fast_rate != 0;
    fprintf(stderr, "Sending xmodem start command...");
    const std::string start_text_sent = format_start_command(fast ? STREAM_STAGE_ENTRY : LOADER_ENTRY);
    const std::string start_command(start_text_sent, 0, start_text_sent.size() - 1);  // its echo: without the CR
    // A stop from here on leaves the receiver's replies stale; one before left nothing.
    sender_stop_watch_install();
    sender_was_continued();
    // From here until the receiver is back at the monitor, every way out stops it first.
    const int port_fd = reader.fd();
    receiver_session_begin(port_fd, fast ? ReceiverEntry::fast : ReceiverEntry::plain);
    // The stream's answers are binary: read as they come until it has ended.
    if (fast) port_stream_raw(port_fd);
    reader.send(start_text_sent.data(), static_cast<int>(start_text_sent.size()), Capture::record);
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
    const auto transfer_start = std::chrono::steady_clock::now();
    int64_t sent_bytes = 0;
    if (fast) {
        const StreamOptions options{.rate = line.fast ? state.fast_rate : MONITOR_RATE,
                                    .start_nak_seen = line.start_nak_seen,
                                    .checked = &checked,
                                    .start_text = &start_text,
                                    .monitor_prompt = line_has_prompt};
        sent_bytes = stream_send(name, port_fd, &sent, options);
    } else {
        const XmodemOptions options{.checked = &checked, .start_text = &start_text, .monitor_prompt = line_has_prompt};
        sent_bytes = xmodem_send(name, port_fd, &sent, options);
    }
    const std::chrono::duration<double> transfer_time = std::chrono::steady_clock::now() - transfer_start;
    if (echoes_command(start_text, start_command)) state.monitor_echoes = true;
    // The receiver is back at the monitor's rate and waits for our next byte before it reports.
    fast_line_end(port_fd, line);
    if (fast) port_stream_done(port_fd);
    std::string drained = port_getpmon(reader);
    receiver_session_end();
    // A handheld that pauses (a busy host, an adapter's latency) may let the
    // wake-up's drain end before its report: the lines up to the prompt count too.
    while (state.receiver_ours && !line_has_prompt(reader.line()) &&
           find_receipt(drained, reader.line()).found != ReceiverCrc::Found::read) {
        drained += std::string(reader.line()) + "\n";
        if (reader.readline() < 0) break;
    }
    check_receipt(drained, reader.line(), sent, state.receiver_ours, name);
    fputs(transfer_speed_note({.bytes = sent_bytes,
                               .seconds = transfer_time.count(),
                               .asked_rate = state.fast_rate,
                               .line_rate = line.fast ? state.fast_rate : MONITOR_RATE})
              .c_str(),
          stderr);
    // What was sent is the checked file; the flash command's size is its checked one.
    recheck_file(name, checked);
    // Its bytes too: a rewrite through a shared mapping keeps the file's times.
    check_sent_bytes(name, checked, sent.image_crc);
    return sent;
}

// Programs flash_size bytes at offset from the image in RAM and follows the
// monitor until it has reported every block.
void program_flash(LineReader& reader, const char* name, int64_t flash_size, int64_t offset,
                   const DialogueState& state) {
    fprintf(stderr, "Sending flash command...");
    give_flash_command(reader, flash_size, offset, state);
    fprintf(stderr, "done\n");

    ProgressMeter meter;
    const WatchResult watch = watch_programming(reader, flash_size, meter);
    set_signal_note(nullptr);
    show_progress(meter, ProgressDraw::complete);
    // The flash may be damaged: stop before another image or a boot uses it.
    if (watch.error_reported) refuse_exit("Error:  flash programming of '%s' reported errors.  Aborting.", name);
    // Fewer blocks than asked: the monitor programmed something else, or nothing.
    const int expected = blocks_expected(flash_size);
    if (watch.blocks_reported < expected)
        refuse_exit("Error:  the monitor reported %d of %d blocks programmed for '%s'.  Aborting.",
                    watch.blocks_reported, expected, name);
}

// One image: receiver started, image sent and checked, flash programmed from RAM.
void flash_one_job(LineReader& reader, const FlashJob& job, DialogueState& state) {
    ensure_receiver(reader, state);
    const char* name = job.file_name.c_str();
    const XmodemDigest sent = send_image(reader, name, job.checked, state);
    program_flash(reader, name, flash_round_up(job.checked.size), job.offset, state);
    if (state.verify) verify_flash(reader, name, job.offset, job.checked.size, sent.image_crc);
}

// -u: one image, of which only the runs of blocks whose flash digest differs
// from the image's are sent and programmed, each run from a piece of its own.
void flash_changed_blocks(LineReader& reader, const FlashJob& job, DialogueState& state,
                          const RunOptions& run_options) {
    ensure_receiver(reader, state);
    const char* name = job.file_name.c_str();
    const std::vector<unsigned char> image = read_checked_image(job);
    const std::vector<uint64_t> image_digests = image_block_digests(image);
    const int blocks = static_cast<int>(image_digests.size());
    std::vector<bool> changed(image_digests.size(), true);
    if (job.offset % FLASH_BLOCK == 0) {
        fprintf(stderr, "Reading flash block digests...");
        changed =
            changed_blocks(image_digests, read_flash_digests(reader, job.offset, static_cast<uint32_t>(image.size())));
        fprintf(stderr, "done\n");
        // The receiver returns to the monitor once its last line is out.
        port_getpmon(reader);
    }
    const std::vector<BlockRun> runs = block_runs(changed);
    int writing = 0;
    for (const BlockRun& run : runs) writing += run.count;
    fprintf(stderr, "Unchanged: %d of %d blocks hold the image already; writing %d.\n", blocks - writing, blocks,
            writing);
    for (const BlockRun& run : runs) {
        const int64_t from = int64_t{run.first} * FLASH_BLOCK;
        const int64_t length = std::min<int64_t>(int64_t{run.count} * FLASH_BLOCK, job.checked.size - from);
        // As for a whole image: nothing is sent once the file is no longer the one checked.
        recheck_file(name, job.checked);
        const RunPieceFile piece = write_run_piece(job, image, from, length, run_options);
        const XmodemDigest sent = send_image(reader, piece.name.c_str(), piece.checked, state);
        // The run went out as the image's bytes as checked only if the image
        // still is that file and holds them now: checked as a whole image is
        // before its flash command, a shared mapping's rewrite included.
        recheck_file(name, job.checked);
        check_sent_range(name, job.checked, from, length, sent.image_crc);
        program_flash(reader, name, flash_round_up(length), job.offset + from, state);
    }
    if (state.verify)
        verify_flash(reader, name, job.offset, job.checked.size,
                     static_cast<uint32_t>(crc32(0, image.data(), static_cast<uInt>(image.size()))));
}

void unzip_kernel(LineReader& reader) {
    fprintf(stderr, "Unzipping kernel...");
    reader.send_text(CMD_UNZIP, Capture::record);
    // Silence here is no error: the boot command follows regardless.
    const auto give_up = Clock::now() + UNZIP_LIMIT;
    while (reader.readline() == 0 && !line_has_prompt(reader.line()) && Clock::now() < give_up) {}
    fprintf(stderr, "done\n");
}

void restore_defaults(LineReader& reader) {
    unzip_kernel(reader);
    fprintf(stderr, "Restoring defaults...\n");
    reader.send_text(CMD_RESTORE, Capture::record);
    // Echo the restore program's output up to and including its last line.
    const auto give_up = Clock::now() + RESTORE_LIMIT;
    while (reader.readline() == 0) {
        fprintf(stderr, "%s\n", shown_text(reader.line()).c_str());
        if (strstr(reader.line(), REPLY_HARD_RESET) != nullptr || Clock::now() >= give_up) break;
    }
    fprintf(stderr, "\nkelvane completed\n");
}

void restart_system(LineReader& reader) {
    unzip_kernel(reader);
    fprintf(stderr, "Restarting system...");
    reader.send_text(CMD_BOOT, Capture::record);
    fprintf(stderr, "done\n");
}

}  // namespace

void run_dialogue(const char* device_path, const JobList& jobs, const RunOptions& run_options) {
    fprintf(stderr, "Opening serial port...");
    const int port_fd = port_open_claimed(device_path);
    // Every run, whatever its switches: an adapter's latency timer would
    // otherwise hold each answer of the handheld for up to 16 ms.
    port_low_latency(port_fd);
    fprintf(stderr, "done\n");
    port_setup(port_fd);
    // The monitor's lines may end on its prompt, which has no line end.
    LineReader reader(port_fd, line_has_prompt);
    wait_for_handheld(reader);

    DialogueState state;
    state.receiver_in_ram = !run_options.load_loader;
    state.fast_rate = run_options.fast_rate;
    state.verify = run_options.verify_flash;
    for (const FlashJob& job : jobs) {
        if (run_options.changed_only)
            flash_changed_blocks(reader, job, state, run_options);
        else
            flash_one_job(reader, job, state);
    }

    wake_monitor(reader, state);
    // Restoring boots the system as well, so it wins over a plain restart.
    if (run_options.restore_defaults)
        restore_defaults(reader);
    else if (run_options.restart_after)
        restart_system(reader);
    port_close(port_fd);
    cleanup_and_exit(0);
}
