/* T=1 block exchange (ISO/IEC 7816-3): the driver builds the blocks, the
 * reader passes them through in command 0xA1. */
#ifndef TTYCARD_BLOCKPROTO_H
#define TTYCARD_BLOCKPROTO_H

#ifdef __cplusplus
extern "C" {
#endif

/* Result code added to the link codes: collecting a chained response failed. */
#define T1_CHAIN_ERROR 32

/* Block classes returned by T1_GetResponseType. */
#define T1_S_BLOCK 0x200
#define T1_S_BLOCK_REQUEST 0x201
#define T1_R_BLOCK 0x210 /* R-block without the N(R)=1 error pattern */
#define T1_I_BLOCK 0x220
#define T1_R_BLOCK_EDC_ERROR 0x230
#define T1_R_BLOCK_OTHER_ERROR 0x240

/* INF bytes per block of a chained command. */
#define CHUNK_SIZE 20

/* Size of the buffer the chained response is collected in; the caller's
 * response buffer must hold this many bytes. */
#define T1_MAX_RESPONSE 272

unsigned char T1CalculateLRC(const unsigned char* data, unsigned int len);
int T1_GetResponseType(const unsigned char* block, unsigned int len);
void T1_WTXResponse(unsigned char multiplier, unsigned char* reply);
int T1_QueltTransaction(const unsigned char* block, int len, unsigned char* reply,
                        unsigned int* replylen);
int T1_ExchangeData(const unsigned char* apdu, unsigned int len, unsigned char* response,
                    unsigned int* resplen);

/* Tells the T=1 layer that the card has just been powered up or reset: the
 * card numbers its blocks from 0 again and holds no unfinished exchange.
 * The IFD entry points call it after every successful power-up or reset;
 * callers that power the card through Adm_PowerICC or Adm_ResetICC and then
 * use T1_ExchangeData call it themselves. */
void T1_CardReset(void);

#ifdef __cplusplus
}
#endif

#endif /* TTYCARD_BLOCKPROTO_H */
