#include "protocol/packet.h"

#include <mbedtls/des.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "protocol/command.h"

namespace {
const uint8_t kKey[8] = {'q', 'd', '7', 'm', 'w', 'r', 'k', 'a'};
}

int des_decode(const uint8_t key[8], const uint8_t iv[8], const uint8_t* in, size_t len,
               std::vector<uint8_t>* out) {
  if (len == 0 || len % 8 != 0) return -1;
  std::vector<uint8_t> plain(len);
  uint8_t ivbuf[8];
  memcpy(ivbuf, iv, 8);
  mbedtls_des_context ctx;
  mbedtls_des_init(&ctx);
  int rc = mbedtls_des_setkey_dec(&ctx, key);
  if (rc == 0) rc = mbedtls_des_crypt_cbc(&ctx, MBEDTLS_DES_DECRYPT, len, ivbuf, in, plain.data());
  mbedtls_des_free(&ctx);
  if (rc != 0) return -1;
  const uint8_t pad = plain[len - 1];
  if (pad >= 9) return -1;
  plain.resize(len - pad);
  *out = std::move(plain);
  return 0;
}

bool des_decrypt(const uint8_t* buf, size_t length, std::vector<uint8_t>* out) {
  if (des_decode(kKey, kKey, buf, length, out) != 0) {
    puts("=====================DES CBC DECODE ERROR==================");
    return false;
  }
  return true;
}

bool validate_packet(const uint8_t* pkt, std::vector<uint8_t>* cmd) {
  if (pkt[510] != 0xA1 || pkt[511] != 0x1A) return false;
  if (!des_decrypt(pkt, des_len, cmd)) return false;
  return cmd->size() >= 4 && (*cmd)[2] == 0x1A && (*cmd)[3] == 0x6D;
}
