#include "protocol/packet.h"

#include <mbedtls/des.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol/command.h"

namespace {
const uint8_t kKey[8] = {'q', 'd', '7', 'm', 'w', 'r', 'k', 'a'};
}

int des_decode(const uint8_t key[8], const uint8_t iv[8], const uint8_t* in, size_t* len,
               uint8_t** out) {
  size_t n = *len;
  if (n == 0 || n % 8 != 0) return -1;
  uint8_t* plain = static_cast<uint8_t*>(malloc(n));
  if (!plain) return -1;
  uint8_t ivbuf[8];
  memcpy(ivbuf, iv, 8);
  mbedtls_des_context ctx;
  mbedtls_des_init(&ctx);
  int rc = mbedtls_des_setkey_dec(&ctx, key);
  if (rc == 0) rc = mbedtls_des_crypt_cbc(&ctx, MBEDTLS_DES_DECRYPT, n, ivbuf, in, plain);
  mbedtls_des_free(&ctx);
  if (rc != 0) {
    free(plain);
    return -1;
  }
  uint8_t pad = plain[n - 1];
  if (pad >= 9) {
    free(plain);
    return -1;
  }
  size_t plen = n - pad;
  // One more byte so that a zero-length command still gets a real buffer.
  uint8_t* result = static_cast<uint8_t*>(malloc(plen ? plen : 1));
  if (!result) {
    free(plain);
    return -1;
  }
  memcpy(result, plain, plen);
  free(plain);
  *len = plen;
  *out = result;
  return 0;
}

uint8_t* des_decrypt(const uint8_t* buf, size_t length, size_t* out_len) {
  size_t len = length;
  uint8_t* out = nullptr;
  if (des_decode(kKey, kKey, buf, &len, &out) != 0) {
    puts("=====================DES CBC DECODE ERROR==================");
    return nullptr;
  }
  *out_len = len;
  return out;
}

uint8_t* validate_packet(const uint8_t* pkt, size_t* cmd_size) {
  if (pkt[510] != 0xA1 || pkt[511] != 0x1A) return nullptr;
  size_t n = 0;
  uint8_t* cmd = des_decrypt(pkt, des_len, &n);
  if (!cmd) return nullptr;
  if (n < 4 || cmd[2] != 0x1A || cmd[3] != 0x6D) {
    free(cmd);
    return nullptr;
  }
  *cmd_size = n;
  return cmd;
}
