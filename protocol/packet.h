// Command packet framing and decryption.
//
// Runs on the command-loop thread only. A failed decryption prints the
// decode error line; the results say whether a command came out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Decrypts the first `length` bytes of `buf` (a multiple of 8) with the
// device key into *out, unpadded.
bool des_decrypt(const uint8_t* buf, size_t length, std::vector<uint8_t>* out);
// The worker: key, IV, input and its length. 0 with *out set to the
// unpadded plaintext, or -1 (out untouched).
int des_decode(const uint8_t key[8], const uint8_t iv[8], const uint8_t* in, size_t len,
               std::vector<uint8_t>* out);

// Validates a 512-byte packet in `pkt`: trailer, decryption, magic bytes.
// True with the decrypted command in *cmd; false when the packet is to be
// dropped.
bool validate_packet(const uint8_t* pkt, std::vector<uint8_t>* cmd);
