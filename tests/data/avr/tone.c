/*
 * Tone generator for an ATmega32U4: plays a short melody on OC1A (PB5).
 *
 * Timer1 produces 10-bit fast PWM at about 15.6 kHz; an RC filter on the
 * pin turns it into audio. Timer3 interrupts at the sample rate and a
 * direct digital synthesis phase accumulator picks the next duty value
 * from a one-period sine table kept in flash (8 KiB).
 */
#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <stdint.h>
#include <util/atomic.h>

#include "sine_table.h"

#define SAMPLE_RATE 8000UL
#define TIMER3_TOP (F_CPU / SAMPLE_RATE - 1)
#define PHASE_SHIFT (32 - SINE_TABLE_BITS)
#define PWM_MID 512

/* Octave 4 semitone frequencies in Hz, C4 to B4. */
static const uint16_t semitone_hz[12] PROGMEM = {262, 277, 294, 311, 330, 349,
                                                 370, 392, 415, 440, 466, 494};

enum { REST = 0xff };

struct note {
    uint8_t semitone; /* 0..11, or REST */
    int8_t octave;    /* relative to octave 4 */
    uint16_t ms;
};

static const struct note melody[] PROGMEM = {
    {0, 0, 200}, {4, 0, 200}, {7, 0, 200}, {0, 1, 400}, {REST, 0, 100}, {11, 0, 200},
    {7, 0, 200}, {2, 0, 200}, {7, -1, 400}, {REST, 0, 100}, {9, 0, 300}, {5, 0, 300},
    {0, 0, 600}, {REST, 0, 800},
};
#define MELODY_LEN (sizeof(melody) / sizeof(melody[0]))

static volatile uint32_t phase_step;
static uint32_t phase;
static volatile uint16_t samples_left;

ISR(TIMER3_COMPA_vect)
{
    if (samples_left == 0) {
        OCR1A = PWM_MID;
        return;
    }
    samples_left--;
    phase += phase_step;
    OCR1A = pgm_read_word(&sine_table[phase >> PHASE_SHIFT]);
}

static void timers_init(void)
{
    DDRB |= _BV(PB5);
    /* Timer1: fast PWM, 10-bit, non-inverting on OC1A, no prescaler. */
    TCCR1A = _BV(COM1A1) | _BV(WGM11) | _BV(WGM10);
    TCCR1B = _BV(WGM12) | _BV(CS10);
    OCR1A = PWM_MID;
    /* Timer3: CTC at the sample rate. */
    OCR3A = TIMER3_TOP;
    TCCR3A = 0;
    TCCR3B = _BV(WGM32) | _BV(CS30);
    TIMSK3 = _BV(OCIE3A);
}

static uint32_t step_for(uint8_t semitone, int8_t octave)
{
    uint32_t hz = pgm_read_word(&semitone_hz[semitone]);
    uint32_t step = (uint32_t)(((uint64_t)hz << 32) / SAMPLE_RATE);
    return octave >= 0 ? step << octave : step >> -octave;
}

static void play(const struct note* n)
{
    uint8_t semitone = pgm_read_byte(&n->semitone);
    int8_t octave = (int8_t)pgm_read_byte(&n->octave);
    uint16_t ms = pgm_read_word(&n->ms);

    cli();
    phase_step = semitone == REST ? 0 : step_for(semitone, octave);
    samples_left = (uint16_t)(ms * (SAMPLE_RATE / 1000));
    sei();
    /* The count is 16 bits wide, so read it with the interrupt held off. */
    for (;;) {
        uint16_t left;
        ATOMIC_BLOCK(ATOMIC_RESTORESTATE) { left = samples_left; }
        if (left == 0)
            break;
    }
}

int main(void)
{
    timers_init();
    sei();
    for (;;) {
        for (uint8_t i = 0; i < MELODY_LEN; i++)
            play(&melody[i]);
    }
}
