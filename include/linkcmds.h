/* Reader command link: hexadecimal frame transport and the reader's
 * command set.
 *
 * Every reader command travels as a binary frame
 *   0x01 | command | N | data[N] | XOR of the bytes before it
 * written as upper-case hexadecimal text between STX (0x02) and ETX (0x03).
 */
#ifndef TTYCARD_LINKCMDS_H
#define TTYCARD_LINKCMDS_H

#ifdef __cplusplus
extern "C" {
#endif

/* Link result codes. */
#define ADM_OK 0
#define ADM_FAILURE 1
#define ADM_COMM_ERROR 4

/* Byte 0 of every reader frame. */
#define ADM_FRAME_HEADER 0x01

/* Longest frame a caller may hand to Adm_Transmit, and the most data bytes
 * one reply can deliver into the caller's reply buffer. */
#define ADM_MAX_FRAME 260
#define ADM_MAX_REPLY 255
/* The most data bytes one reply may carry on any road, a PC/SC host's
 * included: a full short T=0 answer (256 data bytes and SW1 SW2), or a T=1
 * block with 254 bytes of INF. */
#define ADM_MAX_WIDE_REPLY 258

/* The card commands 0xA0 (T=0 APDU) and 0xA1 (T=1 block) carry their payload
 * and one more byte, all counted in the frame's one length byte, which must
 * not wrap: at most 254 payload bytes. */
#define ADM_MAX_CARD_PAYLOAD 254

/* Seconds a reader's reply is awaited unless a longer wait is in force (a T=0
 * exchange, a T=1 waiting-time extension); set when the reader is opened. */
#define ADM_COMMAND_BLOCK_TIME 4

unsigned char Adm_CheckSum(const unsigned char* data, unsigned int len);
int Adm_Convert2Ascii(const unsigned char* data, unsigned int len, char* out, int* count);
int Adm_Convert2Hex(const char* text, unsigned int len, unsigned char* out, int* count);
int Adm_Transmit(const unsigned char* frame, int len, unsigned char* reply, unsigned int* replylen);
int Adm_SetWWT(int seconds);

int Adm_Initialize(const char* path);
int Adm_UnInitialize(void);
int Adm_PowerICC(unsigned char* atr, unsigned int* atrlen);
int Adm_ResetICC(unsigned char* atr, unsigned int* atrlen);
int Adm_UnPowerICC(void);
int Adm_SelectCard(unsigned char type);
int Adm_SetNotification(unsigned char mode);
int Adm_GetTolmStats(unsigned char* status);
int Adm_IsICCPresent(void);

#ifdef __cplusplus
}
#endif

#endif /* TTYCARD_LINKCMDS_H */
