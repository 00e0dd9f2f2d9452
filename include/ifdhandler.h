/* PC/SC IFD handler entry points, version 1.0 form, for one reader with one
 * card slot on a serial port.
 *
 * This is the driver's own version 1.0 header. It can share a translation
 * unit with pcsc-lite's <ifdhandler.h>: the result codes and tags below have
 * the same values there, and the I/O header is declared under its own tag.
 */
#ifndef TTYCARD_IFDHANDLER_H
#define TTYCARD_IFDHANDLER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
#ifndef IFD_SUCCESS
#define IFD_SUCCESS 0
#endif
#ifndef IFD_ERROR_TAG
#define IFD_ERROR_TAG 600
#endif
#ifndef IFD_ERROR_VALUE_READ_ONLY
#define IFD_ERROR_VALUE_READ_ONLY 602
#endif
#ifndef IFD_ERROR_PTS_FAILURE
#define IFD_ERROR_PTS_FAILURE 605
#endif
#ifndef IFD_ERROR_NOT_SUPPORTED
#define IFD_ERROR_NOT_SUPPORTED 606
#endif
#ifndef IFD_PROTOCOL_NOT_SUPPORTED
#define IFD_PROTOCOL_NOT_SUPPORTED 607
#endif
#ifndef IFD_ERROR_POWER_ACTION
#define IFD_ERROR_POWER_ACTION 608
#endif
#ifndef IFD_COMMUNICATION_ERROR
#define IFD_COMMUNICATION_ERROR 612
#endif
#ifndef IFD_NOT_SUPPORTED
#define IFD_NOT_SUPPORTED 614
#endif
#ifndef IFD_ICC_PRESENT
#define IFD_ICC_PRESENT 615
#endif
#ifndef IFD_ICC_NOT_PRESENT
#define IFD_ICC_NOT_PRESENT 616
#endif

/* Capability tags. */
#ifndef TAG_IFD_ATR
#define TAG_IFD_ATR 0x0303
#endif
#define TTYCARD_TAG_ACCEPTED 0x0201 /* accepted without data */

/* Power actions. */
#ifndef IFD_POWER_UP
#define IFD_POWER_UP 500
#endif
#ifndef IFD_POWER_DOWN
#define IFD_POWER_DOWN 501
#endif
#ifndef IFD_RESET
#define IFD_RESET 502
#endif

/* Channel identifier: high 16 bits the channel type (1 = serial), low 16
 * bits the port address. */
#define TTYCARD_CHANNEL_SERIAL 1u

/* Longest ATR (ISO/IEC 7816-3) and the size of the stored record. */
#define TTYCARD_ATR_SIZE 33

/* I/O header of a transmission: protocol 0 for T=0, 1 for T=1; the length is
 * not used. */
struct ttycard_io_header {
  uint32_t Protocol;
  uint32_t Length;
};
#ifndef _ifd_handler_h_
typedef struct ttycard_io_header SCARD_IO_HEADER;
#endif

/* The powered card: its ATR, zero-filled after ATRLength bytes, all zero
 * when the card is not powered. */
struct ttycard_icc {
  unsigned char ATR[TTYCARD_ATR_SIZE];
  uint32_t ATRLength;
};
extern struct ttycard_icc ICC;

uint32_t IO_Create_Channel(uint32_t channel_id);
uint32_t IO_Close_Channel(void);
uint32_t IFD_Get_Capabilities(uint32_t tag, unsigned char* value);
uint32_t IFD_Set_Capabilities(uint32_t tag, unsigned char* value);
uint32_t IFD_Set_Protocol_Parameters(uint32_t protocol, unsigned char flags, unsigned char pts1,
                                     unsigned char pts2, unsigned char pts3);
uint32_t IFD_Power_ICC(uint32_t action);
uint32_t IFD_Swallow_ICC(void);
uint32_t IFD_Eject_ICC(void);
uint32_t IFD_Confiscate_ICC(void);
uint32_t IFD_Transmit_to_ICC(struct ttycard_io_header pci, const unsigned char* tx, uint32_t txlen,
                             unsigned char* rx, uint32_t* rxlen);
uint32_t IFD_Is_ICC_Present(void);
uint32_t IFD_Is_ICC_Absent(void);

#ifdef __cplusplus
}
#endif

#endif /* TTYCARD_IFDHANDLER_H */
