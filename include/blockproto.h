/* T=1 block exchange (ISO/IEC 7816-3): the driver builds the blocks, the
 * reader passes them through in command 0xA1. */
#ifndef TTYCARD_BLOCKPROTO_H
#define TTYCARD_BLOCKPROTO_H

#ifdef __cplusplus
extern "C" {
#endif

/* Result code added to the link codes: collecting a chained response failed. */
#define T1_CHAIN_ERROR 32

/* Block classes returned by T1_GetResponseType, read from the PCB alone (the
 * length is not looked at): an I-block; an S-block, RESYNCH or any other
 * (request or response); an R-block with N(R) 1 and the EDC error, or with
 * N(R) 1 and the other error; any other R-block (T1_R_BLOCK). */
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

/* XOR of the bytes: a block's LRC. */
unsigned char T1CalculateLRC(const unsigned char* data, unsigned int len);
int T1_GetResponseType(const unsigned char* block, unsigned int len);
/* Answers the card's S(WTX request) with S(WTX response) echoing
 * `multiplier`, after setting the block time to 3 s per unit (never below
 * the reader's usual 4 s); the card's next block lands in `reply`. */
void T1_WTXResponse(unsigned char multiplier, unsigned char* reply);
/* One T=1 block (at most 254 bytes) through the reader's command 0xA1; the
 * card's answering block into `reply`. ADM_OK or ADM_COMM_ERROR. */
int T1_QueltTransaction(const unsigned char* block, int len, unsigned char* reply,
                        unsigned int* replylen);
/* Sends one APDU and collects the response (up to T1_MAX_RESPONSE bytes).
 * ADM_OK with the response; ADM_COMM_ERROR with *resplen 0; T1_CHAIN_ERROR
 * with the caller's buffer and length untouched. The send and receive
 * sequence numbers live for the process. An exchange that failed after a
 * block went out leaves the card to be resynchronised (S(RESYNCH request))
 * by the next one; when the card lost a chained block it had acknowledged,
 * that happens before this exchange returns. The card never runs a command
 * cut short or pieced together from another's blocks. */
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
