// Keys and typed text as the host names them. Physical keys and chords go as "key" commands
// (named keys, or one character with modifiers); everything a keyboard composes (accents,
// other scripts, autocorrect, swipe typing, emoji) goes as whole "text".

const NAMED = {
  Enter: 'enter',
  Tab: 'tab',
  Escape: 'esc',
  Backspace: 'backspace',
  Delete: 'delete',
  ArrowUp: 'up',
  ArrowDown: 'down',
  ArrowLeft: 'left',
  ArrowRight: 'right',
  Home: 'home',
  End: 'end',
  PageUp: 'pgup',
  PageDown: 'pgdn',
  Insert: 'insert',
  CapsLock: 'capslock',
  AudioVolumeUp: 'volup',
  AudioVolumeDown: 'voldown',
  AudioVolumeMute: 'mute',
  MediaPlayPause: 'playpause',
  MediaTrackNext: 'next',
  MediaTrackPrevious: 'prev',
};
for (let i = 1; i <= 20; i++) NAMED['F' + i] = 'f' + i;

const MODIFIER_KEYS = new Set(['Control', 'Alt', 'Shift', 'Meta', 'AltGraph', 'OS', 'Super', 'Hyper', 'Fn']);

export function modifiersOf(e) {
  const mods = [];
  const altGraph = e.getModifierState?.('AltGraph');
  if (e.ctrlKey && !altGraph) mods.push('ctrl');
  if (e.altKey && !altGraph) mods.push('alt');
  if (e.metaKey) mods.push('meta');
  if (e.shiftKey) mods.push('shift');
  return mods;
}

// The "key" command for a keydown, or null when the key should reach the text field instead
// (plain characters, composition) or means nothing to the host. `held`: modifiers latched on
// the key bar, added to those of the event.
export function keyCommand(e, held = []) {
  if (e.isComposing || e.keyCode === 229 || MODIFIER_KEYS.has(e.key)) return null;
  const mods = [...new Set([...held, ...modifiersOf(e)])];
  const named = NAMED[e.key];
  if (named) return { k: named, mods };
  const chord = mods.some((m) => m !== 'shift');
  if (e.key === ' ' || e.key === 'Spacebar') return chord ? { k: 'space', mods } : null;
  if ([...e.key].length === 1 && chord) {
    // A chord names the key's own character: Control+Shift+C is "c" with ctrl and shift.
    return { k: e.key.toLowerCase(), mods };
  }
  return null;
}

// The text a keydown types where no text field takes it (a computer's keyboard on the page), or
// null: one character, unless Control or Meta makes it a shortcut. AltGr, which Windows reports
// as Control and Alt held together, still types its character (@, €, { on many layouts).
export function typedText(e) {
  if (e.isComposing || [...e.key].length !== 1) return null;
  const altGraph = e.getModifierState?.('AltGraph');
  if ((e.ctrlKey && !altGraph) || e.metaKey) return null;
  return e.key;
}

const segmenter = typeof Intl !== 'undefined' && Intl.Segmenter ? new Intl.Segmenter(undefined, { granularity: 'grapheme' }) : null;
const characters = (text) => (segmenter ? Array.from(segmenter.segment(text), (s) => s.segment) : Array.from(text));

// What turned `before` into `after` in a text field: how many characters were deleted from the
// end of the common start, and the text inserted there. Characters are user-perceived (an emoji
// with a skin tone, a letter with an accent mark, each count once).
export function textEdit(before, after) {
  const a = characters(before);
  const b = characters(after);
  let common = 0;
  while (common < a.length && common < b.length && a[common] === b[common]) common++;
  return { deleted: a.length - common, inserted: b.slice(common).join('') };
}

// The hidden text field always starts with this character. A phone's keyboard often sends no
// key event for Backspace, only the deletion it makes in the field, and in an empty field it has
// nothing to delete and sends nothing at all; so the field is never empty, and deleting its
// first character is a Backspace like any other (the field then gets the character back).
export const FIELD_START = ' ';

// The field went from `committed` to `value` (outside a composition): the characters to delete
// on the computer, the text to type there, and whether the field must be refilled (its first
// character is gone, a line was ended, or it grew long).
export function fieldEdit(committed, value, maxLength = 200) {
  const { deleted, inserted } = textEdit(committed, value);
  const refill = !value.startsWith(FIELD_START) || value.includes('\n') || value.length > maxLength;
  return { deleted, inserted, refill };
}
