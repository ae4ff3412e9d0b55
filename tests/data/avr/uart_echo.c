/*
 * Serial console echo on USART1 of an ATmega32U4 (PD2 RX, PD3 TX).
 *
 * Received bytes are queued by the RX interrupt; the main loop passes each
 * one through a 256-byte translation table kept in flash (upper-cases
 * letters, replaces control characters except CR/LF/TAB with '.') and
 * sends it back. A banner from flash is printed at start-up.
 */
#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <stdint.h>

#define BAUD 9600UL
#define UBRR_VALUE ((F_CPU + 8UL * BAUD) / (16UL * BAUD) - 1)

/* Must be a power of two: the indices wrap with a mask. */
#define RX_QUEUE_SIZE 32
#define RX_QUEUE_MASK (RX_QUEUE_SIZE - 1)

static const char banner[] PROGMEM = "\r\nkorvo echo console ready\r\n"
                                     "type text; it is echoed back in upper case\r\n";

#define ROW(b)                                                                                     \
    (b) + 0, (b) + 1, (b) + 2, (b) + 3, (b) + 4, (b) + 5, (b) + 6, (b) + 7, (b) + 8, (b) + 9,      \
        (b) + 10, (b) + 11, (b) + 12, (b) + 13, (b) + 14, (b) + 15

/* Indexed by the received byte; the value is what gets echoed. */
static const uint8_t translate[256] PROGMEM = {
    /* 0x00 */ '.', '.', '.', '.', '.', '.', '.', '.', '.', '\t', '\n', '.', '.', '\r', '.', '.',
    /* 0x10 */ '.', '.', '.', '.', '.', '.', '.', '.', '.', '.', '.', '.', '.', '.', '.', '.',
    /* 0x20 */ ROW(0x20),
    /* 0x30 */ ROW(0x30),
    /* 0x40 */ ROW(0x40),
    /* 0x50 */ ROW(0x50),
    /* 0x60 */ 0x60, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O',
    /* 0x70 */ 'P', 'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 0x7b, 0x7c, 0x7d, 0x7e, '.',
    /* 0x80 */ ROW(0x80),
    /* 0x90 */ ROW(0x90),
    /* 0xa0 */ ROW(0xa0),
    /* 0xb0 */ ROW(0xb0),
    /* 0xc0 */ ROW(0xc0),
    /* 0xd0 */ ROW(0xd0),
    /* 0xe0 */ ROW(0xe0),
    /* 0xf0 */ ROW(0xf0),
};

static volatile uint8_t rx_queue[RX_QUEUE_SIZE];
static volatile uint8_t rx_head;
static uint8_t rx_tail;
static volatile uint8_t rx_overruns;

ISR(USART1_RX_vect)
{
    uint8_t c = UDR1;
    uint8_t next = (rx_head + 1) & RX_QUEUE_MASK;
    if (next == rx_tail) {
        rx_overruns++; /* queue full: drop, the host will see a gap */
        return;
    }
    rx_queue[rx_head] = c;
    rx_head = next;
}

static void uart_init(void)
{
    UBRR1 = UBRR_VALUE;
    UCSR1A = 0;
    UCSR1B = _BV(RXEN1) | _BV(TXEN1) | _BV(RXCIE1);
    UCSR1C = _BV(UCSZ11) | _BV(UCSZ10); /* 8N1 */
}

static void uart_put(uint8_t c)
{
    loop_until_bit_is_set(UCSR1A, UDRE1);
    UDR1 = c;
}

static void uart_put_P(const char* s)
{
    char c;
    while ((c = pgm_read_byte(s++)) != '\0')
        uart_put(c);
}

int main(void)
{
    uart_init();
    sei();
    uart_put_P(banner);

    for (;;) {
        if (rx_tail == rx_head)
            continue;
        uint8_t c = rx_queue[rx_tail];
        rx_tail = (rx_tail + 1) & RX_QUEUE_MASK;
        uart_put(pgm_read_byte(&translate[c]));
    }
}
