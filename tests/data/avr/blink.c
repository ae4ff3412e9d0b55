/*
 * Status LED blinker for an ATmega32U4 board (LED on PC7).
 *
 * Timer1 runs in CTC mode and raises a 1 kHz tick; the main loop sleeps
 * between ticks and steps through a blink pattern, so the CPU is idle
 * almost all the time.
 */
#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <avr/sleep.h>
#include <stdint.h>
#include <util/atomic.h>

#define TICK_HZ 1000UL
#define TIMER1_PRESCALE 64UL
#define TIMER1_TOP ((F_CPU / TIMER1_PRESCALE / TICK_HZ) - 1)

#define LED_DDR DDRC
#define LED_PORT PORTC
#define LED_BIT PC7

/* Heartbeat: two short flashes, then a pause. Durations in milliseconds,
 * alternating on and off. */
static const uint16_t pattern_ms[] PROGMEM = {80, 120, 80, 720};
#define PATTERN_LEN (sizeof(pattern_ms) / sizeof(pattern_ms[0]))

static volatile uint16_t ticks;

ISR(TIMER1_COMPA_vect) { ticks++; }

static void timer1_init(void)
{
    OCR1A = TIMER1_TOP;
    TCCR1A = 0;
    TCCR1B = _BV(WGM12) | _BV(CS11) | _BV(CS10); /* CTC, clk/64 */
    TIMSK1 = _BV(OCIE1A);
}

static uint16_t ticks_now(void)
{
    uint16_t t;
    ATOMIC_BLOCK(ATOMIC_RESTORESTATE) { t = ticks; }
    return t;
}

int main(void)
{
    uint8_t step = 0;
    uint16_t started;

    LED_DDR |= _BV(LED_BIT);
    timer1_init();
    set_sleep_mode(SLEEP_MODE_IDLE);
    sei();

    started = ticks_now();
    LED_PORT |= _BV(LED_BIT);
    for (;;) {
        sleep_mode();
        if ((uint16_t)(ticks_now() - started) < pgm_read_word(&pattern_ms[step]))
            continue;
        started += pgm_read_word(&pattern_ms[step]);
        step = (step + 1) % PATTERN_LEN;
        /* Even steps are "on" phases. */
        if (step % 2 == 0)
            LED_PORT |= _BV(LED_BIT);
        else
            LED_PORT &= ~_BV(LED_BIT);
    }
}
