/* panelhost: the host side of the panel's command protocol, as a C library.
 *
 * The protocol itself is described in docs/protocol.md (installed with this
 * header as share/doc/panelhost/protocol.md).
 *
 * A connection is one serial line to one device. The functions are blocking
 * and not thread-safe per connection: use one connection per thread. Every
 * function that talks to the device returns 0 on success and -1 on failure;
 * panelhost_error() then says why in one line.
 *
 * The device answers every command (except exit, code 44) with one 512-byte
 * reply before it reads the next one. Send a command, its bulk payload, then
 * read its reply; never send the next command before the reply has been
 * read, or replies are lost.
 */
#ifndef PANELHOST_H
#define PANELHOST_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(PANELHOST_BUILD) && defined(__GNUC__)
#define PANELHOST_API __attribute__((visibility("default")))
#else
#define PANELHOST_API
#endif

#define PANELHOST_PACKET_LEN 512    /* command and reply packets */
#define PANELHOST_PARAMS_MAX 495    /* parameter bytes from command byte 8 on */
#define PANELHOST_BULK_MAX 2097152  /* largest bulk payload of one command */
#define PANELHOST_BLOCK_MAX 1048576 /* largest H.264 block and upload chunk */
#define PANELHOST_STATUS_OK 200     /* reply byte 1 */
#define PANELHOST_TIMEOUT_MS 5000   /* default reply wait */

typedef struct panelhost panelhost;

/* Version of this library, "MAJOR.MINOR.PATCH". */
PANELHOST_API const char* panelhost_version(void);

/* Builds the 512-byte command packet for `code` with request tag `tag` and
 * `params` (command bytes 8 onward, at most PANELHOST_PARAMS_MAX) into
 * `packet`. No I/O. 0, or -1 when params is too long. */
PANELHOST_API int panelhost_encode(uint8_t code, uint32_t tag, const uint8_t* params,
                                   size_t params_len, uint8_t packet[PANELHOST_PACKET_LEN]);

/* Opens a serial device (a real port or a pty), raw, 115200 8N1. Null on
 * failure, with errno set. */
PANELHOST_API panelhost* panelhost_open(const char* path);
/* Uses an already open descriptor; panelhost_close() leaves it open. */
PANELHOST_API panelhost* panelhost_open_fd(int fd);
PANELHOST_API void panelhost_close(panelhost* h);
/* The reason of the last failure on `h` ("" when none). */
PANELHOST_API const char* panelhost_error(const panelhost* h);
/* Default reply wait of the helpers below, in milliseconds. */
PANELHOST_API void panelhost_set_timeout(panelhost* h, int timeout_ms);

/* --- The three steps of one exchange ----------------------------------- */

/* Sends one command packet. Each command gets the next request tag, which
 * the reply echoes; panelhost_reply() checks it. */
PANELHOST_API int panelhost_command(panelhost* h, uint8_t code, const uint8_t* params,
                                    size_t params_len);
/* Sends `len` raw bytes of bulk payload right after the command. */
PANELHOST_API int panelhost_bulk(panelhost* h, const void* data, size_t len);
/* Waits up to timeout_ms for the reply to the last command and checks its
 * header (code, status 200, tag); the listing command 99 has no header. */
PANELHOST_API int panelhost_reply(panelhost* h, uint8_t reply[PANELHOST_PACKET_LEN],
                                  int timeout_ms);

/* All three: command, optional payload, reply (reply may be null). */
PANELHOST_API int panelhost_exchange(panelhost* h, uint8_t code, const uint8_t* params,
                                     size_t params_len, const void* payload, size_t payload_len,
                                     uint8_t reply[PANELHOST_PACKET_LEN]);

/* --- Helpers for the common commands ------------------------------------ */

/* 10: the identity text (25 characters) into out, NUL-terminated. */
PANELHOST_API int panelhost_identity(panelhost* h, char out[26]);
/* 254: no operation; keeps the line alive. */
PANELHOST_API int panelhost_nop(panelhost* h);
/* 14: backlight 1..100 (saved); 0 darkens without saving. */
PANELHOST_API int panelhost_brightness(panelhost* h, uint8_t level);
/* 13: rotation code (saved). */
PANELHOST_API int panelhost_rotation(panelhost* h, uint8_t code);
/* 51: sets the device clock; clock_flag 0/1 sets the standby clock off/on,
 * 2 leaves it as it is. */
PANELHOST_API int panelhost_set_clock(panelhost* h, int year, int month, int day, int hour,
                                      int minute, int second, uint8_t clock_flag);
/* 52: asks both standby screens to stop; their states (0xFF: not running,
 * 0: stopping) into clock_state and offline_state (either may be null). */
PANELHOST_API int panelhost_standby_stop(panelhost* h, uint8_t* clock_state,
                                         uint8_t* offline_state);
/* Makes the panel the host's: stops the standby screens, local video and
 * the slideshow, and waits (up to timeout_ms) until they have ended. */
PANELHOST_API int panelhost_take_over(panelhost* h, int timeout_ms);

/* 101: shows a JPEG file (refused silently while a standby screen runs). */
PANELHOST_API int panelhost_show_jpeg(panelhost* h, const void* jpeg, size_t len);
/* 102: one PNG overlay frame; stream 1 = small picture at x, y; 0 = a
 * full-screen picture. *queued (may be null): frames then waiting in the
 * stream's queue; 0 when the frame was refused, or already taken by the
 * decoder. */
PANELHOST_API int panelhost_png_frame(panelhost* h, const void* png, size_t len, uint16_t x,
                                      uint16_t y, uint8_t stream, uint8_t* queued);
/* 103: empties the overlay. */
PANELHOST_API int panelhost_clear_overlay(panelhost* h);
/* 105: overlay plane on (1) or off (0). */
PANELHOST_API int panelhost_overlay_plane(panelhost* h, int on);

/* 121 (band 0), 119 (band 1), 120 (band 2): one block of H.264 Annex B data
 * of at most PANELHOST_BLOCK_MAX bytes. bands: 1..3 in the stream; stamp:
 * the stream's identity (band 0 only; a new value restarts the decoder).
 * *fill (may be null): blocks waiting in the band's ring, 0 = refused. */
PANELHOST_API int panelhost_h264_block(panelhost* h, int band, int bands, uint32_t stamp,
                                       const void* data, size_t len, int last, uint8_t* fill);
/* Starts a new stream with identity `stamp`: empty band-0 blocks carry the
 * stamp (the device drops the block that brings a new stamp, together with
 * everything queued), and the call waits up to timeout_ms until the device
 * has let go of the previous stream. Send the stream's blocks with the same
 * stamp afterwards. */
PANELHOST_API int panelhost_h264_start(panelhost* h, uint32_t stamp, int timeout_ms);
/* 122: ring fill of bands 0..2 and the small PNG queue into counts[4]. */
PANELHOST_API int panelhost_queue_status(panelhost* h, uint8_t counts[4]);
/* 118: number of the last video frame shown. */
PANELHOST_API int panelhost_frame_counter(panelhost* h, uint32_t* frame);
/* 15: frames per second of host video (1..255). */
PANELHOST_API int panelhost_frame_rate(panelhost* h, uint8_t fps);
/* 123: stops host and local video. */
PANELHOST_API int panelhost_stop_video(panelhost* h);

/* 110, 111, 112: local H.264 file playback (looping). */
PANELHOST_API int panelhost_play_local(panelhost* h, const char* device_path);
PANELHOST_API int panelhost_stop_local(panelhost* h);
PANELHOST_API int panelhost_local_playing(panelhost* h, int* playing);

/* 38 + 39: writes a file of any size on the device (chunks of
 * PANELHOST_BLOCK_MAX). Fails when the device cannot create it. */
PANELHOST_API int panelhost_upload(panelhost* h, const char* device_path, const void* data,
                                   size_t len);
/* 98: file size in bytes (0 when missing). */
PANELHOST_API int panelhost_file_size(panelhost* h, const char* device_path, uint32_t* size);
/* 42: deletes a file, or every regular file below a directory. */
PANELHOST_API int panelhost_delete(panelhost* h, const char* device_path);
/* 99: the listing text ("result:dir:a/b/file:c/") into out, NUL-terminated
 * and cut to cap - 1 characters. A missing directory is created by the
 * device and listed as "result:nodir-createdone". */
PANELHOST_API int panelhost_list(panelhost* h, const char* device_path, char* out, size_t cap);
/* 100: SD card total, used and available KiB into kib[3]. */
PANELHOST_API int panelhost_storage(panelhost* h, uint32_t kib[3]);

#ifdef __cplusplus
}
#endif

#endif /* PANELHOST_H */
