/*
 * vortlink.h - command-set library for the Quorrel LED strobe controller.
 *
 * A controller is reached through a device slot (0 to 49) that the caller opens over TCP
 * (tkcmdset_connect) or USB HID (tkcmdset_init_ex). Every command takes the slot first and
 * returns a signed 16-bit status code: 0 on success, a library code from -10001 to -10803, or
 * an error number that the controller sent in an error reply. tkcmdset_get_error_name and
 * tkcmdset_get_error_text explain any code from the error catalogue "ecodes.ini".
 *
 * Results go through caller-owned pointers; the library never allocates memory for the caller
 * and keeps no pointer after a call returns. Any thread may issue commands: exchanges on one
 * slot are serialised across threads and processes by a per-slot, per-user lock. Opening and
 * closing a given slot must be done from one thread at a time.
 *
 * A reply that comes too late is never taken for the answer to a later request: after an
 * exchange that ended without a complete, well-formed reply (time-out, bad CRC-8, wrong opcode or
 * report ID, a quit while waiting), the slot's next command first sends an echo (opcode 0x00)
 * with a fresh random pattern and discards everything until that pattern comes back, within
 * 1500 ms; if it does not, that command fails with the status of the failed step and the next
 * one tries again. A slot in step sends nothing extra. A command that returns data fails with
 * TKCMDSET_WRONG_OPCODE when the controller answers with an error reply carrying code 0.
 *
 * Input that arrived since the slot's last exchange is discarded before each request goes out.
 * That clearing (the echo above included) takes at most the command's time-out; when input is
 * still coming after that, the command fails without sending anything (TKCMDSET_REPLY_TIMEOUT
 * over TCP, TKCMDSET_FLUSH_FAILED over USB) and the slot's next command first brings it back in
 * step.
 *
 * How long a command can take. Each command has a reply time-out: 1500 ms, 5000 ms for
 * set_pulse, set_repeat, set_hv_supply and set_lv_supply, 6000 ms for run_diags and special.
 * Over TCP the reply is read in two parts (its first two bytes, then the rest) and each part has
 * the whole time-out to itself, so a command that gets its reply can take up to twice its time-out:
 * about 3 s for tkcmdset_status and the other 1500-ms commands, 10 s for the 5000-ms ones and 12 s
 * for tkcmdset_special and tkcmdset_run_diags. Over USB the write of the request and the read of
 * the reply each have the time-out, which gives the same figures. On top of that come, only when
 * they happen: up to 2000 ms waiting for a slot that another thread or process is using, up to
 * the time-out clearing stale input (above), and the time the calling thread's message pump
 * itself spends in its turns. A block transfer takes this per chunk. A failed TCP command also
 * records the failure in the settings file, waiting at most 300 ms for another writer's lock
 * before it gives that record up; the command's own status is returned either way.
 *
 * Message pumps. While a command waits for its reply the calling thread's pump
 * (tkcmdset_set_message_pump) runs. A command that the pump issues on the same slot (a GUI timer
 * polling the controller, say) while the thread is inside a command on that slot fails at once
 * with TKCMDSET_LOCK_BUSY: nothing is sent and the waiting command goes on untouched, so the two
 * can never take each other's replies. Commands on other slots work from inside the pump.
 *
 * Frame tracing (VORTLINK_TRACE=1 for standard error, VORTLINK_TRACE=<file> to append to a file)
 * uses a file only when it is a regular file that belongs to the calling user (a missing one is
 * created with mode 0600); anything else gets one line on standard error and tracing stays off.
 *
 * Settings live in ${XDG_CONFIG_HOME:-$HOME/.config}/Kestrova/Quorrel/Command Set Toolkit.conf.
 *
 * Loading the library does three things, and never fails: it attaches the block of state shared
 * by every process of the user that has the library loaded (the first of them records its
 * working directory there, against which a relative "ErrorCodesFile" path resolves; without a
 * usable block the process goes on with state of its own and says so once on standard error),
 * opens the settings file, creating "ErrorCodesFile" with its default ".\ecodes.ini" when it is
 * missing, and opens the named locks of the slots, "USB_mutex_0" to "USB_mutex_49" and
 * "TCP_mutex_0" to "TCP_mutex_49". Unloading closes the settings and the locks.
 */
#ifndef VORTLINK_H
#define VORTLINK_H

#include <stdint.h>

#if defined(_WIN32) && defined(VORTLINK_BUILDING_LIBRARY)
#define VORTLINK_API __declspec(dllexport)
#elif defined(_WIN32)
#define VORTLINK_API __declspec(dllimport)
#elif defined(VORTLINK_BUILDING_LIBRARY)
#define VORTLINK_API __attribute__((visibility("default")))
#else
#define VORTLINK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status codes raised by the library itself ------------------------------------------ */

#define TKCMDSET_OK 0
#define TKCMDSET_QUIT_REQUESTED (-10001)      /* a quit request was met while waiting for a reply */
#define TKCMDSET_BAD_SLOT (-10100)            /* slot number above 49 */
#define TKCMDSET_BAD_DEVICE_NAME (-10101)     /* device name missing, empty or too long */
#define TKCMDSET_WRITE_NOT_STARTED (-10102)   /* HID output report could not be written */
#define TKCMDSET_WRITE_TIMEOUT (-10104)       /* HID write did not finish in time */
#define TKCMDSET_READ_NOT_STARTED (-10105)    /* HID input report could not be read */
#define TKCMDSET_READ_TIMEOUT (-10107)        /* HID read did not finish in time */
#define TKCMDSET_BAD_REPORTS (-10108)         /* report description unusable or a usage missing */
#define TKCMDSET_NO_USB_DEVICE (-10109)       /* the slot has no open USB device */
#define TKCMDSET_FLUSH_FAILED (-10110)        /* HID input could not be flushed, or kept coming */
#define TKCMDSET_FEATURE_REFUSED (-10111)     /* the device refused the feature report */
#define TKCMDSET_NO_STRING (-10112)           /* the device returned no string for the index */
#define TKCMDSET_NO_DEVICE_MATCHED (-10201)   /* no present HID device matched */
#define TKCMDSET_LOCK_BUSY (-10202)           /* slot lock not obtained within 2000 ms, or the
                                                 calling thread is inside a command on the slot
                                                 (a nested call from its message pump) */
#define TKCMDSET_LOCK_FAILED (-10203)         /* waiting for the slot lock failed */
#define TKCMDSET_WRONG_OPCODE (-10204)        /* the reply carries another opcode, or no data */
#define TKCMDSET_WRONG_REPORT_ID (-10205)     /* the reply's report ID is not the expected one */
#define TKCMDSET_BAD_LIGHTHEAD_DATA (-10206)  /* lighthead record failed its validation */
#define TKCMDSET_CHECKSUM_MISMATCH (-10207)   /* the reply's CRC-8 does not match */
#define TKCMDSET_UNKNOWN_OPCODE (-10208)      /* opcode not in the command descriptor table */
#define TKCMDSET_SETTINGS_OPEN_FAILED (-10600) /* the settings file cannot be opened or created */
#define TKCMDSET_SETTINGS_NOT_OPEN (-10601)   /* no settings key is open */
#define TKCMDSET_SETTING_READ_FAILED (-10602) /* a setting cannot be read */
#define TKCMDSET_SETTING_WRITE_FAILED (-10603) /* a setting cannot be written */
#define TKCMDSET_BAD_TCP_SLOT (-10800)        /* bad slot for TCP, or the slot is not connected */
#define TKCMDSET_SOCKET_FAILURE (-10801)      /* socket error or connection closed */
#define TKCMDSET_HOST_UNRESOLVED (-10802)     /* host is neither an IPv4 address nor a known name */
#define TKCMDSET_REPLY_TIMEOUT (-10803)       /* the reply did not arrive within the time-out, or
                                                 stale input kept coming for all of it */

/* ---- Sizes, codes and names every client needs ------------------------------------------ */

/* The USB product string of the Quorrel controller, as tkcmdset_init_ex compares it. */
#define TKCMDSET_PRODUCT_NAME "Kv Quorrel Controller"
/* A firmware version text that starts with this part number comes from the boot loader. */
#define TKCMDSET_LOADER_PART_NUMBER "6400-000731"

enum tkcmdset_sizes {
    TKCMDSET_SLOT_COUNT = 50,          /* device slots 0 to 49 */
    TKCMDSET_IDENTITY_TEXT_SIZE = 101, /* fw/hw version and serial number: 100 characters + NUL */
    TKCMDSET_ECHO_SIZE = 200,          /* tkcmdset_echo's data and reply buffers */
    TKCMDSET_MAC_SIZE = 6              /* tkcmdset_get_mac and tkcmdset_set_mac */
};

/* Transfer kinds the progress hook is told (tkcmdset_set_progress_handler). */
enum tkcmdset_progress_kind {
    TKCMDSET_PROGRESS_MEMORY_WRITE = 1,
    TKCMDSET_PROGRESS_MEMORY_READ = 2,
    TKCMDSET_PROGRESS_EEPROM_WRITE = 5,
    TKCMDSET_PROGRESS_EEPROM_READ = 6
};

/* Feature codes of tkcmdset_set_feature. Code 3 (or 103) is passed on like any other; what it
 * does is the firmware's, and no tool of this package sends it. */
enum tkcmdset_feature {
    TKCMDSET_FEATURE_START_LOADER = 1,     /* restart into the boot loader */
    TKCMDSET_FEATURE_START_APPLICATION = 2 /* start the application */
};

/* Special function codes of tkcmdset_special that the tools send. */
enum tkcmdset_special_code {
    TKCMDSET_SPECIAL_LIGHTHEAD_SERIAL = 81,  /* answers the lighthead's serial number, 0: none */
    TKCMDSET_SPECIAL_TRANSFER_BUFFER = 2064, /* boot loader: answers the transfer buffer address */
    TKCMDSET_SPECIAL_BEGIN_BLOCK = 2065,     /* param: base address of a 64 KiB block */
    TKCMDSET_SPECIAL_COMMIT_CHUNK = 2066,    /* param: where the transfer buffer's 128 bytes go */
    TKCMDSET_SPECIAL_FORWARD_IMAGE = 2068    /* hands a staged image to the Ethernet processor */
};

/* Error numbers the controller sends in an error reply; the library passes them through. */
enum tkcmdset_device_error {
    TKCMDSET_DEVICE_UNKNOWN_COMMAND = 1,  /* opcode the firmware does not serve */
    TKCMDSET_DEVICE_REQUEST_CHECKSUM = 2, /* request frame failed its CRC-8 */
    TKCMDSET_DEVICE_BAD_PARAMETER = 3,    /* argument outside what the controller accepts */
    TKCMDSET_DEVICE_BAD_ADDRESS = 4,      /* memory or EEPROM range outside the device */
    TKCMDSET_DEVICE_TEST_FAILED = 5,      /* a self-test found a fault */
    TKCMDSET_DEVICE_WRONG_FIRMWARE = 6,   /* needs the boot loader (or the application) */
    TKCMDSET_DEVICE_BLOCK_NOT_BEGUN = 7,  /* firmware chunk stored outside a begun block */
    TKCMDSET_DEVICE_IMAGE_REJECTED = 8,   /* firmware image header or CRC-16 wrong */
    TKCMDSET_DEVICE_BUSY = 9,             /* Ethernet processor restarting, try again later */
    TKCMDSET_DEVICE_SUPPLY_FAULT = -12    /* power supply out of tolerance: stop testing */
};

/* ---- Hooks (per calling thread) --------------------------------------------------------- */

/*
 * Message pump hook of the calling thread. While an exchange waits between request and reply
 * (and whenever the library waits), it calls pump(context) to let the application dispatch its
 * pending events. The pump returns non-zero when a quit was requested; the exchange then ends
 * with TKCMDSET_QUIT_REQUESTED and the application keeps its own quit pending. Pass NULL to
 * remove the hook. Without a hook the library only waits. Returns 0.
 */
VORTLINK_API int16_t tkcmdset_set_message_pump(int (*pump)(void *context), void *context);

/*
 * Progress hook of the calling thread, called by the block transfers at most once per 100 ms
 * with the transfer kind (1 memory write, 2 memory read, 5 EEPROM write, 6 EEPROM read) and
 * the address of the chunk about to be sent. Pass NULL to remove the hook. Returns 0.
 */
VORTLINK_API int16_t tkcmdset_set_progress_handler(
    void (*handler)(void *context, uint32_t kind, uint32_t address), void *context);

/* ---- Opening and closing slots ---------------------------------------------------------- */

/*
 * Connects slot 0..49 to the controller's command server at host (dotted IPv4 address or host
 * name) on the port of the "TCP Port" setting (default 1234, created when missing). reserved is
 * not used. On success every command on the slot goes over this connection; a previous
 * connection of the slot is closed. Returns 0, TKCMDSET_BAD_TCP_SLOT (slot above 49),
 * TKCMDSET_HOST_UNRESOLVED (unknown host or NULL), TKCMDSET_SOCKET_FAILURE (no connection
 * within 5 s, refused, or socket options refused) or a settings code -10600 to -10603.
 */
VORTLINK_API int16_t tkcmdset_connect(uint8_t slot, int32_t reserved, const char *host);

/*
 * Opens slot 0..49 on a USB HID controller whose product string equals name (for the Quorrel
 * controller TKCMDSET_PRODUCT_NAME). Without a serial number (NULL or "") the slot-th such
 * controller is opened, counting from 0 in the system's device order, except that a device with
 * an empty serial number is taken at once; with a serial number, the controller with exactly that
 * serial number, whatever the slot. A USB device already open in the slot is closed first. Name
 * and serial number are at most 125 characters. Returns 0, TKCMDSET_BAD_SLOT,
 * TKCMDSET_BAD_DEVICE_NAME (name NULL, empty or too long, or serial too long; nothing is closed),
 * TKCMDSET_NO_DEVICE_MATCHED (the slot is left closed), or TKCMDSET_BAD_REPORTS: the device lacks
 * one of the usages 166 to 170 (it stays open, commands keep going by the slot's previous
 * transport), or its reports do not fit the 200-byte frames or leave no room for block data (it
 * is closed again). With VORTLINK_HID_SIM=<socket> set, the controllers of a running quorrel-sim
 * are used instead of hidraw devices.
 *
 * Worst-case duration: the device search ends within 5 s, however slowly the devices answer each
 * step (opening, report description, product and serial number strings); a search that runs
 * out of that time before a device matched returns TKCMDSET_NO_DEVICE_MATCHED. The report
 * queries that follow use what was read while opening, so the whole call takes little longer.
 */
VORTLINK_API int16_t tkcmdset_init_ex(uint8_t slot, const char *name, const char *serial);

/*
 * Sends the USB feature report that switches the controller's firmware: 1 (or 101) restarts it
 * into its boot loader, 2 (or 102) starts its application, 3 (or 103); other codes are sent as
 * they are. The controller then leaves the bus and comes back. No reply, no slot lock. Returns 0,
 * TKCMDSET_BAD_SLOT, TKCMDSET_NO_USB_DEVICE (no USB device open in the slot, e.g. a TCP slot) or
 * TKCMDSET_FEATURE_REFUSED.
 */
VORTLINK_API int16_t tkcmdset_set_feature(uint8_t slot, uint16_t feature);

/*
 * Closes the USB side of the slot (device handle). The TCP connection of the slot, if any, is
 * left as it is. Returns 0 (also for a slot never opened) or TKCMDSET_BAD_SLOT.
 */
VORTLINK_API int16_t tkcmdset_shutdown(uint8_t slot);

/* ---- Identity and status ---------------------------------------------------------------- */

/*
 * Reads the controller's 16-bit status word into *status (opcode 0x02, time-out 1500 ms; the
 * call can take up to about 3 s, see "How long a command can take" above).
 * *status is set to 0 before the exchange, so it reads 0 after any failure.
 */
VORTLINK_API int16_t tkcmdset_status(uint8_t slot, uint16_t *status);

/*
 * Identity texts. text must have room for 101 bytes: a text has up to 100 characters and
 * always ends with a terminating zero within those 101 bytes. A USB device string longer than
 * 100 characters is cut to 100; each character is one byte, its Latin-1 code, and a character
 * beyond U+00FF becomes '?'. text[0] is set to 0 first, so the text is empty after any failure.
 *
 * tkcmdset_fw_version: over TCP the controller's 20-byte version text (opcode 0x01), up to its
 * first zero byte; over USB the device string with index 4.
 * tkcmdset_hw_version: over TCP the 16-byte hardware part number of the manufacturing block
 * (EEPROM address 0, 128 bytes, block identifier 2, CRC-16 protected); over USB string index 5.
 * tkcmdset_serial_number: over TCP the block's 16-byte serial number; over USB string index 3.
 * Over TCP a manufacturing block with another identifier or a wrong CRC-16 gives 0 and an empty
 * text; a failed EEPROM read gives its status. Over USB: TKCMDSET_NO_USB_DEVICE, or
 * TKCMDSET_NO_STRING when the device has no such string.
 */
VORTLINK_API int16_t tkcmdset_fw_version(uint8_t slot, char *text);
VORTLINK_API int16_t tkcmdset_hw_version(uint8_t slot, char *text);
VORTLINK_API int16_t tkcmdset_serial_number(uint8_t slot, char *text);

/*
 * Sends the 200 bytes at data and receives the controller's echo into the 200 bytes at reply
 * (opcode 0x00). Both pointers must be valid for 200 bytes. reply[0] is set to 0 first; after a
 * failure the rest of reply is unchanged. Over TCP only the first 50 bytes travel each way, so
 * only reply[0..49] carry the echo.
 */
VORTLINK_API int16_t tkcmdset_echo(uint8_t slot, const uint8_t *data, uint8_t *reply);

/*
 * Runs the controller's built-in diagnostic number test (opcode 0x03, time-out 6000 ms: the call
 * can take up to about 12 s). The
 * status is the verdict: 0 passed, an error number from the controller names the fault.
 */
VORTLINK_API int16_t tkcmdset_run_diags(uint8_t slot, uint8_t test);

/*
 * Passes a controller-defined special function code with its parameter (opcode 0x05, time-out
 * 6000 ms: over TCP the call can take up to about 12 s). result may be NULL, in which case the controller's answer is dropped; otherwise
 * *result is set to 0 first and receives the answer on success.
 */
VORTLINK_API int16_t tkcmdset_special(uint8_t slot, uint16_t code, uint32_t param,
                                      uint32_t *result);

/* Makes the controller run code at address (opcode 0x56). */
VORTLINK_API int16_t tkcmdset_execute(uint8_t slot, uint32_t address);

/* ---- Analog and digital I/O, memory and EEPROM ------------------------------------------ */

/*
 * Single values, each one exchange with the 1500 ms time-out. Out-pointers must be valid. The
 * readers set their result to 0 (0.0 for volts) before the exchange, so it reads 0 after a
 * failure; tkcmdset_read_mem alone leaves *value untouched on failure. The digital readers store
 * 1 for any non-zero state the controller reports.
 */
VORTLINK_API int16_t tkcmdset_set_an_out(uint8_t slot, uint8_t channel, uint16_t value);
VORTLINK_API int16_t tkcmdset_get_an_out(uint8_t slot, uint8_t channel, uint16_t *value);
VORTLINK_API int16_t tkcmdset_get_an_in(uint8_t slot, uint8_t channel, uint16_t *value);
VORTLINK_API int16_t tkcmdset_get_volts(uint8_t slot, uint8_t channel, float *volts);
VORTLINK_API int16_t tkcmdset_set_dig_out(uint8_t slot, uint8_t output, uint8_t state);
VORTLINK_API int16_t tkcmdset_get_dig_out(uint8_t slot, uint8_t output, uint8_t *state);
VORTLINK_API int16_t tkcmdset_get_dig_in(uint8_t slot, uint8_t input, uint8_t *state);
VORTLINK_API int16_t tkcmdset_write_mem(uint8_t slot, uint32_t address, uint8_t value);
VORTLINK_API int16_t tkcmdset_read_mem(uint8_t slot, uint32_t address, uint8_t *value);

/*
 * Block transfers of length bytes (0 to 65535) between data and the controller's memory (32-bit
 * addresses) or EEPROM (16-bit addresses, which wrap from 0xFFFF to 0). data must be valid for
 * length bytes. The block goes in chunks, one exchange each with the 1500 ms time-out: over TCP
 * 104 bytes per chunk (110 for tkcmdset_read_eemem_block); over USB the long report's count less
 * 8 (less 2 for tkcmdset_read_eemem_block). Before a chunk is sent the calling thread's progress
 * handler (tkcmdset_set_progress_handler) is told the transfer kind (1 memory write, 2 memory
 * read, 5 EEPROM write, 6 EEPROM read) and the chunk's address: always for the first chunk, then
 * at most once per 100 ms. A length of 0 returns 0 without traffic or progress call.
 * The first failing chunk ends the transfer with its status: chunks already written stay
 * written, bytes already read stay in data. TKCMDSET_BAD_REPORTS: the USB device's long report
 * leaves no room for data in a chunk or does not fit the library's 200-byte frames.
 */
VORTLINK_API int16_t tkcmdset_write_mem_block(uint8_t slot, uint32_t address, const uint8_t *data,
                                              uint16_t length);
VORTLINK_API int16_t tkcmdset_read_mem_block(uint8_t slot, uint32_t address, uint8_t *data,
                                             uint16_t length);
VORTLINK_API int16_t tkcmdset_write_eemem_block(uint8_t slot, uint16_t address, const uint8_t *data,
                                                uint16_t length);
VORTLINK_API int16_t tkcmdset_read_eemem_block(uint8_t slot, uint16_t address, uint8_t *data,
                                               uint16_t length);

/* ---- Pulse, trigger, supplies, network -------------------------------------------------- */

/*
 * Operating parameters, each one exchange. The units of width and delay, and the meaning of
 * index, the maps, the repeat values and the pulse output setting are the controller's; current
 * is in amperes, volts in volts. set_pulse, set_repeat, set_hv_supply and set_lv_supply have the
 * 5000 ms time-out (the call can take up to about 10 s), the others 1500 ms (about 3 s). Out-pointers must be valid. get_pulse,
 * get_repeat, get_trigger_map, get_hv_supply and get_lv_supply set their results to 0 (0.0)
 * before the exchange; get_pulse_out, get_ip and get_mac leave them untouched on failure.
 * Over TCP the controller's frames for 0x86, 0x87, 0x89 and 0x8A are shorter than what the
 * library packs: set_lv_supply sends index and the first three bytes of volts, get_lv_supply
 * and get_pulse_out send no index, set_pulse_out sends only index.
 */
VORTLINK_API int16_t tkcmdset_set_pulse(uint8_t slot, uint8_t channel, uint32_t width,
                                        uint16_t delay, float current);
VORTLINK_API int16_t tkcmdset_get_pulse(uint8_t slot, uint8_t channel, uint32_t *width,
                                        uint16_t *delay, float *current);
VORTLINK_API int16_t tkcmdset_set_repeat(uint8_t slot, uint8_t channel, uint32_t value32,
                                         uint16_t value16);
VORTLINK_API int16_t tkcmdset_get_repeat(uint8_t slot, uint8_t channel, uint32_t *value32,
                                         uint16_t *value16);
VORTLINK_API int16_t tkcmdset_set_trigger_map(uint8_t slot, uint8_t index, uint8_t map_1,
                                              uint8_t map_2);
VORTLINK_API int16_t tkcmdset_get_trigger_map(uint8_t slot, uint8_t index, uint8_t *map_1,
                                              uint8_t *map_2);
VORTLINK_API int16_t tkcmdset_set_gate_map(uint8_t slot, uint8_t index, uint8_t map_1,
                                           uint8_t map_2);
VORTLINK_API int16_t tkcmdset_set_hv_supply(uint8_t slot, uint8_t index, float volts);
VORTLINK_API int16_t tkcmdset_get_hv_supply(uint8_t slot, uint8_t index, float *volts);
VORTLINK_API int16_t tkcmdset_set_lv_supply(uint8_t slot, uint8_t index, float volts);
VORTLINK_API int16_t tkcmdset_get_lv_supply(uint8_t slot, uint8_t index, float *volts);
/* Fires the software trigger index. */
VORTLINK_API int16_t tkcmdset_trigger(uint8_t slot, uint8_t index);
VORTLINK_API int16_t tkcmdset_set_pulse_out(uint8_t slot, uint8_t index, uint8_t setting);
VORTLINK_API int16_t tkcmdset_get_pulse_out(uint8_t slot, uint8_t index, uint8_t *setting);
/* The controller's three IPv4 setting words, passed through uninterpreted. */
VORTLINK_API int16_t tkcmdset_set_ip(uint8_t slot, uint32_t ip_1, uint32_t ip_2, uint32_t ip_3);
VORTLINK_API int16_t tkcmdset_get_ip(uint8_t slot, uint32_t *ip_1, uint32_t *ip_2, uint32_t *ip_3);
/* mac points to the 6 bytes of a MAC address, first byte first. */
VORTLINK_API int16_t tkcmdset_set_mac(uint8_t slot, const uint8_t *mac);
VORTLINK_API int16_t tkcmdset_get_mac(uint8_t slot, uint8_t *mac);

/* ---- Lighthead data record -------------------------------------------------------------- */

/*
 * One LED group of the lighthead, in host byte order. The EEPROM image keeps each value in a
 * narrower field, truncating (not rounding) toward zero: led_rth and heatsink_rth in tenths of
 * degC/W (0 to 6553.5), tau in microseconds (0 to 65.535 ms), vf_offset in mV (0 to 65.535 V),
 * the three currents in mA (0 to 65.535 A), tj_max in whole degrees (0 to 255), string_count and
 * leds_per_string in 4 bits each (0 to 15); vf_slope is kept as it is. Values out of range are
 * not refused: they keep only the low bits of their integer form.
 */
typedef struct LedParameters {
    float led_rth;           /* LED thermal resistance, degC/W */
    float tau;               /* thermal time constant, ms */
    float vf_slope;          /* forward-voltage slope */
    float vf_offset;         /* forward-voltage offset, V */
    float tj_max;            /* maximum junction temperature, whole degrees */
    int32_t string_count;    /* number of LED strings */
    int32_t leds_per_string; /* LEDs in each string */
    float heatsink_rth;      /* heatsink thermal resistance, degC/W */
    float default_current;   /* default LED current, A */
    float max_pulse_current; /* maximum pulsed LED current, A */
    float max_cont_current;  /* maximum continuous LED current, A */
    uint8_t reserved[16];    /* neither read nor written by the library */
} LedParameters;

typedef struct LightheadData {
    /* part_number and programmed_on are fixed-width fields: a text may fill all of its bytes
     * with no terminating zero, so read them with strnlen(field, sizeof field). */
    char part_number[16];   /* stored and read back byte for byte, all 16 bytes */
    char programmed_on[20]; /* local time of the last write, e.g. "7-Dec-2026 4:59" */
    uint8_t reserved[100];  /* neither read nor written by the library */
    LedParameters led[4];   /* LED groups 0 to 3 */
} LightheadData;

#ifdef __cplusplus
static_assert(sizeof(LedParameters) == 60, "LedParameters has no padding");
static_assert(sizeof(LightheadData) == 376, "LightheadData has no padding");
#else
_Static_assert(sizeof(LedParameters) == 60, "LedParameters has no padding");
_Static_assert(sizeof(LightheadData) == 376, "LightheadData has no padding");
#endif

/*
 * Converts *record into the lighthead's 128-byte, CRC-16 protected EEPROM image, stamped with
 * the local time of the call, and writes it at EEPROM address 1024 (two chunks over TCP). The
 * record's programmed_on and reserved bytes are not read. A failure in the second chunk leaves a
 * torn image that tkcmdset_get_lighthead_data reports as TKCMDSET_BAD_LIGHTHEAD_DATA.
 */
VORTLINK_API int16_t tkcmdset_set_lighthead_data(uint8_t slot, const LightheadData *record);

/*
 * Reads the lighthead image at EEPROM address 1024 and converts it into *record. On any failure
 * *record is left untouched: the EEPROM read's status, or TKCMDSET_BAD_LIGHTHEAD_DATA when the
 * image is not a lighthead record (never programmed, erased, or torn). The reserved bytes of
 * *record keep their contents.
 */
VORTLINK_API int16_t tkcmdset_get_lighthead_data(uint8_t slot, LightheadData *record);

/* ---- Thermal limit queries -------------------------------------------------------------- */

/*
 * Questions the controller answers from the lighthead's data about a pulse on channel; width
 * and current as for tkcmdset_set_pulse. The answer's encoding (an integer or the bits of an
 * IEEE-754 single) and unit are the controller's; the library stores it in host byte order.
 * *result is written only on success (32 bits; 16 bits for tkcmdset_calc_max_freq) and must be
 * valid. Each has the 1500 ms time-out (the call can take up to about 3 s).
 */
VORTLINK_API int16_t tkcmdset_calc_led_temp(uint8_t slot, uint8_t channel, uint32_t width,
                                            float current, uint32_t *result);
VORTLINK_API int16_t tkcmdset_calc_max_width(uint8_t slot, uint8_t channel, float current,
                                             uint32_t *result);
VORTLINK_API int16_t tkcmdset_calc_max_current(uint8_t slot, uint8_t channel, uint32_t width,
                                               uint32_t *result);
VORTLINK_API int16_t tkcmdset_calc_max_freq(uint8_t slot, uint8_t channel, uint32_t width,
                                            float current, uint16_t *result);
VORTLINK_API int16_t tkcmdset_calc_supply_voltage(uint8_t slot, uint8_t channel, uint32_t width,
                                                  float current, uint32_t *result);

/* ---- Status codes and version ----------------------------------------------------------- */

/*
 * Writes the catalogue's "Name" of code into buffer (at most size - 1 characters and a
 * terminating zero; a longer name is cut). A code, section or catalogue that is missing gives
 * "Unknown Error". The catalogue is the file of the "ErrorCodesFile" setting (default
 * ".\ecodes.ini", resolved against the directory recorded by the first process that loaded the
 * library); when the default names no existing file, the catalogue installed with the library
 * is read. A catalogue file that belongs to another user (root excepted) or that others than its
 * owner may write is never read: the installed catalogue is read instead, and the first such
 * refusal is told on standard error (control characters shown as \xHH). Always returns 0.
 */
VORTLINK_API int16_t tkcmdset_get_error_name(int16_t code, char *buffer, uint16_t size);

/* As tkcmdset_get_error_name with the catalogue's "Text"; default "No further information". */
VORTLINK_API int16_t tkcmdset_get_error_text(int16_t code, char *buffer, uint16_t size);

/*
 * The library version packed in 16 bits. A release is numbered MAJOR.MINOR.PATCH (the package
 * version, the SONAME libvortlink.so.MAJOR, pkg-config's --modversion); the word holds MAJOR in
 * its high byte and MINOR in its low byte, each taken modulo 256, and is shown as the high byte,
 * a point and the low byte in two digits: release 1.0.0 gives 0x0100, "1.00"; release 1.2.3
 * gives 0x0102, "1.02". A patch release keeps the word. Never 0 for this library.
 */
VORTLINK_API uint16_t tkcmdset_get_dll_version(void);

#ifdef __cplusplus
}
#endif

#endif /* VORTLINK_H */
