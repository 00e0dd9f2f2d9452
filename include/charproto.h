/* T=0 exchange: the reader runs the character protocol; the driver hands it
 * the APDU in reader command 0xA0. */
#ifndef TTYCARD_CHARPROTO_H
#define TTYCARD_CHARPROTO_H

#ifdef __cplusplus
extern "C" {
#endif

int T0_ExchangeData(const unsigned char* apdu, unsigned int len, unsigned char* response,
                    unsigned int* resplen);

#ifdef __cplusplus
}
#endif

#endif /* TTYCARD_CHARPROTO_H */
