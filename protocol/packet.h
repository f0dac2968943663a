// Command packet framing and decryption.
//
// Runs on the command-loop thread only. Decryption returns a newly
// allocated plaintext (the caller frees it with free()) or null after
// printing the decode error line.
#pragma once

#include <cstddef>
#include <cstdint>

// Decrypts the first `length` bytes of `buf` (a multiple of 8) with the
// device key; returns the unpadded plaintext and stores its length.
uint8_t* des_decrypt(const uint8_t* buf, size_t length, size_t* out_len);
// The worker: key, IV, input and the input length (in: ciphertext length,
// out: plaintext length). 0 on success with *out set, -1 on failure.
int des_decode(const uint8_t key[8], const uint8_t iv[8], const uint8_t* in, size_t* len,
               uint8_t** out);

// Validates a 512-byte packet in `pkt`: trailer, decryption, magic bytes.
// Returns the decrypted command (caller frees) or null when the packet is
// to be dropped.
uint8_t* validate_packet(const uint8_t* pkt, size_t* cmd_size);
