import assert from 'node:assert/strict';
import { describe, it } from 'node:test';

import { FIELD_START, fieldEdit, keyCommand, textEdit, typedText } from '../src/input/keyboard.js';
import { statusFor } from '../src/ui/status.js';

const event = (key, mods = {}) => ({ key, ctrlKey: false, altKey: false, metaKey: false, shiftKey: false, ...mods, getModifierState: (m) => Boolean(mods[m]) });

describe('keys', () => {
  it('named keys, chords and what is left to the text field', () => {
    const table = [
      [event('Enter'), [], { k: 'enter', mods: [] }],
      [event('Escape'), [], { k: 'esc', mods: [] }],
      [event('ArrowLeft', { shiftKey: true }), [], { k: 'left', mods: ['shift'] }],
      [event('F5'), [], { k: 'f5', mods: [] }],
      [event('PageDown'), [], { k: 'pgdn', mods: [] }],
      [event('Backspace'), [], { k: 'backspace', mods: [] }],
      [event('c', { ctrlKey: true }), [], { k: 'c', mods: ['ctrl'] }],
      [event('C', { ctrlKey: true, shiftKey: true }), [], { k: 'c', mods: ['ctrl', 'shift'] }],
      [event('c'), ['ctrl'], { k: 'c', mods: ['ctrl'] }],
      [event('t', { metaKey: true }), [], { k: 't', mods: ['meta'] }],
      [event(' ', { ctrlKey: true }), [], { k: 'space', mods: ['ctrl'] }],
      [event('Tab'), ['alt'], { k: 'tab', mods: ['alt'] }],
      [event('a'), [], null],
      [event('A', { shiftKey: true }), [], null],
      [event(' '), [], null],
      [event('é'), [], null],
      [event('@', { ctrlKey: true, altKey: true, AltGraph: true }), [], null],
      [event('Control', { ctrlKey: true }), [], null],
      [{ ...event('Unidentified'), keyCode: 229 }, [], null],
      [{ ...event('a'), isComposing: true }, ['ctrl'], null],
    ];
    for (const [e, held, expected] of table) assert.deepEqual(keyCommand(e, held), expected, JSON.stringify([e.key, held]));
  });
});

describe('keys typed on the page', () => {
  it('plain and AltGr characters are text; shortcuts and named keys are not', () => {
    const table = [
      [event('a'), 'a'],
      [event('A', { shiftKey: true }), 'A'],
      [event('é'), 'é'],
      [event(' '), ' '],
      // AltGr as Windows reports it (Control and Alt held) and as Linux does
      [event('@', { ctrlKey: true, altKey: true, AltGraph: true }), '@'],
      [event('€', { AltGraph: true }), '€'],
      [event('c', { ctrlKey: true }), null],
      [event('c', { metaKey: true }), null],
      [event('Enter'), null],
      [event('Dead'), null],
      [{ ...event('e'), isComposing: true }, null],
    ];
    for (const [e, expected] of table) assert.equal(typedText(e), expected, JSON.stringify(e));
  });
});

describe('text field edits', () => {
  it('what was deleted and inserted, in characters a person sees', () => {
    const table = [
      ['', 'hello', 0, 'hello'],
      ['hel', 'hello', 0, 'lo'],
      ['hello', 'hell', 1, ''],
      ['teh ', 'the ', 3, 'he '],
      ['', 'é€ж😀', 0, 'é€ж😀'],
      ['a👍🏽', 'a', 1, ''],
      ['cafe\u0301', 'caf', 1, ''],
      ['same', 'same', 0, ''],
    ];
    for (const [before, after, deleted, inserted] of table) assert.deepEqual(textEdit(before, after), { deleted, inserted }, `${before} -> ${after}`);
  });
});

describe('the hidden text field', () => {
  it('a Backspace in an empty field deletes its first character, which reaches the computer', () => {
    const S = FIELD_START;
    const table = [
      // committed, value, deleted, inserted, refill
      [S, S + 'a', 0, 'a', false],
      [S, '', 1, '', true], // Backspace with nothing typed: only the deletion shows it
      [S + 'ab', S + 'a', 1, '', false],
      [S + 'ab', '', 3, '', true], // a word deleted at once, and the first character with it
      [S + 'teh', S + 'the', 2, 'he', false], // autocorrect replaces the word after the first character
      [S + 'hi', S + 'hi\n', 0, '\n', true],
      [S + 'x'.repeat(200), S + 'x'.repeat(201), 0, 'x', true],
      [S + 'a👍🏽', S + 'a', 1, '', false],
    ];
    for (const [committed, value, deleted, inserted, refill] of table) {
      assert.deepEqual(fieldEdit(committed, value), { deleted, inserted, refill }, JSON.stringify([committed, value]));
    }
  });

  it('starts with a character a keyboard keeps apart from the first word', () => {
    // A keyboard's autocorrect replaces the word before the caret: the first character must not
    // join that word, or replacing the word would delete it too.
    assert.match(FIELD_START, /^\s$/u);
  });
});

describe('status line', () => {
  it('says what is going on, and what a person can do about it', () => {
    const table = [
      [{ phase: 'connecting', attempt: 0, name: 'Desk' }, 'Connecting to Desk…', []],
      [{ phase: 'connecting', attempt: 2 }, 'Reconnecting to your computer…', []],
      [{ phase: 'waiting', retryIn: 3.2, error: { code: 'unreachable' }, name: 'Desk' }, "Can't reach Desk. Trying again in 4 s…", ['retry']],
      [{ phase: 'waiting', retryIn: 0.1, error: { code: 'closed' } }, 'The connection was lost. Trying again in 1 s…', ['retry']],
      [{ phase: 'failed', error: { code: 'auth' }, name: 'Desk' }, 'Wrong pairing key: Desk did not accept it. Open the browser link it shows to pair again.', ['repair']],
      [{ phase: 'failed', error: { code: 'version', message: 'The computer speaks another protocol version. Update Nimbrel.' } }, 'The computer speaks another protocol version. Update Nimbrel.', ['retry', 'repair']],
    ];
    for (const [state, text, actions] of table) {
      const s = statusFor(state);
      assert.equal(s.text, text);
      assert.deepEqual(s.actions, actions);
    }
    assert.equal(statusFor({ phase: 'connected' }), null);
  });
});
