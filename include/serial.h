/* Serial line of the ttycard reader driver.
 *
 * One port per process, kept in the module record `ioport`. Functions that
 * can fail return 1 for success and 0 for failure; the two parameter updates
 * return their value or -1. Reads are bounded by the block time, in whole
 * seconds, for the whole call.
 */
#ifndef TTYCARD_SERIAL_H
#define TTYCARD_SERIAL_H

#ifdef __cplusplus
extern "C" {
#endif

struct IO_Port {
  int handle;         /* descriptor of the open device */
  unsigned int baud;  /* line speed as passed to IO_InitializePort */
  unsigned char bits; /* data bits per character, 5 to 8 */
  int stopbits;       /* 2 after opening */
  char parity;        /* 'N', 'E' or 'O' */
  int blocktime;      /* read timeout in seconds */
};

extern struct IO_Port ioport;

int IO_InitializePort(int speed, int bits, int parity, const char* path);
int IO_Read(int count, unsigned char* buf);
int IO_Write(int count, const unsigned char* data);
int IO_FlushBuffer(void);
int IO_UpdateParity(char parity);
int IO_UpdateStopBits(int stopbits);
int IO_UpdateReturnBlock(int seconds);
int IO_ReturnHandle(void);
int IO_ReturnBaudRate(void);
int IO_ReturnParity(void);
int IO_ReturnStopBits(void);
int IO_Close(void);

#ifdef __cplusplus
}
#endif

#endif /* TTYCARD_SERIAL_H */
