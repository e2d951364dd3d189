// Formulas: compiling, computing on a note, and computing a note with its
// form.
//
// THE FORMULA LANGUAGE
//
// A formula is LMBCS text (os_text.h), at most 65535 bytes. It is a
// sequence of statements separated by ";" (empty statements are allowed, a
// formula without any statement is a syntax error):
//   expr                    a value
//   name := expr            a temporary variable; from here on the name
//                           means the variable, not the item
//   FIELD name := expr      sets the note's item of that name (see
//                           NSFComputeEvaluate); later references read it
//   SELECT expr             whether the note matches (the truth of expr);
//                           a formula without SELECT matches every note
//   REM "text"              a remark; it has no value
// The result is the value of the last statement that has one. Keywords
// (SELECT, FIELD, REM) and @function names are case-insensitive; so are item
// and variable names, which begin with a letter, "$" or "_" (then letters,
// digits, "$", "_", "." or bytes 0x80 and above; at most 255 bytes). The
// three keywords cannot serve as names.
//
// Values are lists of one kind: texts, numbers or times (TIMEDATE); a
// single value is a list of one entry. Literals: "text" (\" and \\ stand
// for " and \; a backslash before any other byte drops the backslash),
// numbers (123, 1.5, .5, 2e3; no sign: "-" is an operator), and keywords in
// brackets ([CN]) as the first argument of @Name. An item that the note
// does not have, and every item when there is no note, reads as the text
// "". An item of a type other than text, number and time (and their lists
// and ranges) reads as "" too.
//
// Operators, from the loosest to the tightest binding:
//   |  &            or, and (left to right; the right side is evaluated only
//                   when it can still change the result)
//   !               not (prefix)
//   = != <> < > <= >=   comparisons
//   +  -            addition, text concatenation; time + number and
//                   time - number move a time by seconds (whole seconds,
//                   the fraction is dropped); time - time is the number of
//                   seconds between them
//   *  /            multiplication, division
//   :               list concatenation (both sides of one kind, or one
//                   side without entries)
//   -  +            sign (prefix): "-1 : 2" is -1 : 2
// Parentheses group. Operators work on lists pairwise: the shorter list is
// extended with its last entry, so "1 : 2 : 3 + 10" is 11 : 12 : 13 and
// ("a" : "b") + "x" is "ax" : "bx"; a list without entries gives a list
// without entries. A comparison is 1 when any pair compares true, else 0.
// Texts compare through the collation of item names (nsf_note.h): without
// regard to the case of the ASCII letters and of the code page 850
// letters; numbers and times by value. Both sides
// of an operator must be of one kind (except time +/- number): anything
// else is ERR_FORMULA_TYPE. The truth of a value: a number list that holds
// a non-zero entry is true, one without is false, a text or a time is
// ERR_FORMULA_TYPE.
//
// @functions (a function without arguments may be written with or without
// "()"; an unknown @function, or a wrong number of arguments, is a compile
// error). "Each" means entry by entry over a list.
//   @Text(v)  @Text(v; format)   a text stays itself; each number as text
//             (format "G" general, the default, 15 significant digits;
//             "F0".."F15" that many decimals; "," groups thousands); each
//             time as text in the server's international settings
//             (OSGetIntlSettings) on the server's clock (the time zone of
//             OSCurrentTimeZone, read through TimeGMToLocal). Time formats
//             are codes, in any order, blanks and commas between them:
//               D0 year, month, day   D1 month and day, and the year when
//               it is not this year   D2 month and day   D3 year and month
//               T0 hours, minutes, seconds   T1 hours and minutes
//               S0 date only  S1 time only  S2 date and time
//               S3 date and time, the date as "Today", "Yesterday" or
//               "Tomorrow" when it is one of those
//             Defaults: D0, T0, and the parts the value has. A date-only
//             value shows its date, a time-only value its time; a part that
//             the S code asks for and the value lacks is left out ("" when
//             nothing is left). An unknown code is ERR_FORMULA_VALUE.
//   @Date(time)          each time's date alone, on the server's clock
//   @Date(y; m; d)       a date-only value; @Date(y; m; d; h; mi; s) a time
//                        on the server's clock (ERR_BAD_TIME when invalid)
//   @Now  @Today         the current moment, taken once per evaluation; its
//                        date alone on the server's clock
//   @Adjust(time; years; months; days; hours; minutes; seconds)
//                        each time moved as TimeDateAdjust does; a date-only
//                        value stays date-only (only whole days count), a
//                        time-only value turns round the clock (the calendar
//                        arguments do not count)
//   @If(c1; v1; c2; v2; ...; else)   the value of the first true condition,
//                        else the last argument; only what is needed is
//                        evaluated (an odd number of at least 3 arguments)
//   @Name([CN]; names)  @Name([Abbreviate]; names)  @Name([Canonicalize]; names)
//                        each name's common name, abbreviated or canonical
//                        form (dname.h); a name that cannot be parsed stays
//                        as it is
//   @Trim(texts)         each text without leading and trailing blanks and
//                        with inner runs of blanks as one; empty entries go
//   @Left(texts; n)  @Right(texts; n)    the first / last n characters
//   @Left(texts; t)  @Right(texts; t)    what stands before / after the
//                        first occurrence of t ("" when t does not occur)
//   @Contains(texts; subs)   1 when some text contains some sub (with regard
//                        to case)
//   @IsAvailable(name)   1 when the note has the item (or FIELD set it)
//   @IsText(v) @IsTime(v) @IsNumber(v)   1 or 0 by the kind of v
//   @Elements(v)         the number of entries (the single text "" has none)
//   @Subset(v; n)        the first n entries, or the last -n; n 0 is
//                        ERR_FORMULA_VALUE
//   @LowerCase(texts) @UpperCase(texts)  ASCII letters changed
//   @Implode(texts)  @Implode(texts; separator)   one text, " " between
//   @Explode(texts)  @Explode(texts; separators)  @Explode(texts; separators; keepEmpty)
//                        the pieces between any of the separator
//                        characters (" ,;" by default); empty pieces only
//                        when keepEmpty is true
//   @TextToNumber(texts) each text's leading number (blanks first are
//                        skipped; "." or the international decimal
//                        separator); ERR_FORMULA_VALUE when there is none
//   @TextToTime(texts)   each text read as a date, a time or both in the
//                        international settings (the date order of the
//                        flags, a four-digit first number meaning year
//                        first; "/", "-", "." or the date separator; ":" or
//                        the time separator; AM/PM; "Today", "Yesterday",
//                        "Tomorrow"; a two-digit year below 50 is 20xx, else
//                        19xx); a text that is not one gives ""
//   @UserName            the server's name, canonical (SECKFMGetUserName)
//   @True @All  @False   1, 1, 0
//   @DeleteDocument      1, and the note should be deleted
// Texts count characters as LMBCS characters (a group byte and the bytes of
// its group are one character, os_text.h) and never split one.
//
// Limits, so that no formula crashes, hangs or exhausts memory: nesting
// (parentheses, calls, prefix operators) at most 64 deep (a compile error,
// ERR_FORMULA_TOO_COMPLEX); during evaluation a list holds at most 65535
// entries, a text at most 65535 bytes, and all values made together at most
// 64 MiB of work (entries, bytes, comparisons): beyond that the evaluation
// ends with ERR_FORMULA_LIMIT.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

// A compiled formula: a memory handle (os_mem.h). Lock it with OSLockObject
// to get the bytes NSFComputeStart takes; free it with OSMemFree. The bytes
// are self-contained: a copy works as well as the original. They are a
// 24-byte header (a magic number, the version, the lengths and a checksum
// of everything else) followed by the formula's name and its checked text;
// NSFComputeStart refuses bytes whose header or checksum does not hold.
typedef DHANDLE FORMULAHANDLE;

// A computation of one compiled formula, from NSFComputeStart to
// NSFComputeStop: a handle of its own kind (STANDIN_HANDLE_COMPUTE). The
// end of the runtime stops every computation still open.
typedef DHANDLE HCOMPUTE;

// Compiles a formula. FormulaName (may be null, then FormulaNameLength is
// not read) is kept with the compiled formula, at most 255 bytes; the text
// is FormulaTextLength bytes (a NUL byte outside a text literal is a
// syntax error). Every
// output pointer except rethFormula may be null.
// On success *rethFormula is the compiled formula, *retFormulaLength its
// size in bytes, *retCompileError 0 and the error positions 0.
// On a compile error the call returns the error's status (ERR_FORMULA_SYNTAX,
// ERR_FORMULA_UNKNOWN_FUNCTION, ERR_FORMULA_ARG_COUNT,
// ERR_FORMULA_TOO_COMPLEX), puts the same status in *retCompileError, and
// the place of the error in the text: *retCompileErrorLine and
// *retCompileErrorColumn (1-based; columns count bytes, a line ends with
// LF), *retCompileErrorOffset (0-based byte offset) and
// *retCompileErrorLength (bytes of the offending token, 0 at the end of the
// text); *rethFormula is NULLHANDLE. ERR_BAD_PARAM for a null rethFormula,
// a null text with a non-zero length, or a name longer than 255 bytes.
STATUS LNPUBLIC NSFFormulaCompile(const char far *FormulaName, WORD FormulaNameLength,
                                  const char far *FormulaText, WORD FormulaTextLength,
                                  FORMULAHANDLE far *rethFormula, DWORD far *retFormulaLength,
                                  STATUS far *retCompileError, WORD far *retCompileErrorLine,
                                  WORD far *retCompileErrorColumn, WORD far *retCompileErrorOffset,
                                  WORD far *retCompileErrorLength);

// Starts a computation of the compiled formula at lpCompiledFormula (the
// locked bytes of a FORMULAHANDLE, or a copy of them). The computation keeps
// what it needs: the formula may be unlocked and freed at once. Flags: none
// are defined, so wFlags must be 0 (else ERR_BAD_PARAM). ERR_FORMULA_DAMAGED
// when the bytes are not a whole compiled formula (header, lengths or
// checksum wrong); ERR_BAD_PARAM for a null pointer.
STATUS LNPUBLIC NSFComputeStart(WORD wFlags, const void far *lpCompiledFormula,
                                HCOMPUTE far *rethCompute);

// Evaluates the formula on a note (NULLHANDLE: no note, every item reads as
// ""). Every output pointer may be null; on failure they get NULLHANDLE, 0
// and FALSE.
//   *rethResult         a memory handle (free it with OSMemFree) holding
//                       the WORD data type and the value as an item holds
//                       it: a text result as TYPE_TEXT_LIST (also of one
//                       entry), numbers as TYPE_NUMBER (one) or
//                       TYPE_NUMBER_RANGE (none or several), times as
//                       TYPE_TIME or TYPE_TIME_RANGE; not made when
//                       rethResult is null
//   *retResultLength    its size in bytes, the type word included
//   *retNoteMatchesFormula   the truth of the last SELECT; TRUE without one
//   *retNoteShouldBeDeleted  TRUE when @DeleteDocument was evaluated
//   *retNoteModified    TRUE when a FIELD statement set an item. The items
//                       that FIELD sets are changed in the note in memory
//                       (not saved), as summary items of the value's type
//                       (a list type when the value has other than one
//                       entry).
// The evaluation's own statuses: ERR_FORMULA_TYPE, ERR_FORMULA_ARITHMETIC,
// ERR_FORMULA_VALUE, ERR_FORMULA_LIMIT, ERR_BAD_TIME; ERR_LIST_FULL when
// a result does not fit an item value; the note's handle statuses.
STATUS LNPUBLIC NSFComputeEvaluate(HCOMPUTE hCompute, NOTEHANDLE hNote, DHANDLE far *rethResult,
                                   DWORD far *retResultLength, BOOL far *retNoteMatchesFormula,
                                   BOOL far *retNoteShouldBeDeleted, BOOL far *retNoteModified);

// Ends a computation; its handle is then closed.
STATUS LNPUBLIC NSFComputeStop(HCOMPUTE hCompute);

// COMPUTING A NOTE WITH ITS FORM
//
// A form is a note of class NOTE_CLASS_FORM. "$TITLE" (a text or text list)
// holds its names, "name|alias|..." in an entry. Its fields are given by
//   "$Fields"                a text list of field names, in the order in
//                            which they are computed
//   "$FieldKinds"            a text list of the same length: "computed" (the
//                            field is computed every time) or "default"
//                            (computed only when the note lacks the item)
//   "$FieldFormula_<name>"   a text item per field: its formula
// (kinds compare without regard to case; a field name is 1 to 241 bytes
// without a NUL byte).
// A field's result replaces every item of that name with one summary item:
// a text, number or time, or its list type when the result has other than
// one entry; later fields read it. FIELD statements of a field's formula
// set their items as in NSFComputeEvaluate.

// Phases of a field error.
#define CWF_PHASE_COMPILE 1   // the field's formula does not compile
#define CWF_PHASE_EVALUATE 2  // evaluating it failed
#define CWF_PHASE_STORE 3     // its result could not be stored in the note

// Answers of the error routine.
#define CWF_NEXT_FIELD 0  // go on with the next field
#define CWF_ABORT 1       // stop (any non-zero answer does)

// The error routine: the field's name (NUL-terminated), the phase, the
// error's status and a text that tells it (NUL-terminated: the status's
// text, for compile errors with the line and column), and the caller's
// context. It is called with no lock held, so it may call the item calls on
// the note.
typedef WORD(LNCALLBACK *CWF_ERROR_PROC)(const char far *FieldName, WORD Phase, STATUS Error,
                                         const char far *ErrorText, void far *CallersContext);

// Computes the fields of the form in order and changes hNote in memory
// only; the note is never saved. hFormNote is the form, or NULLHANDLE for
// the form that the note's "Form" item names (by any name or alias in a
// form's "$TITLE", without regard to case; the first such form of the
// note's database). A field error is given to ErrorRoutine (when not null;
// null goes on): an answer of CWF_NEXT_FIELD goes on with the next field,
// any other stops at once and returns the field's status. Having gone on,
// the call returns the status of the first field that failed, or NOERROR;
// the fields after a failed one are computed all the same.
// Other statuses: ERR_FORM_NOT_FOUND when the note names no form or no such
// form exists; ERR_FORM_DAMAGED when the form's field items are not as
// above (nothing is changed then); ERR_BAD_PARAM for non-zero dwFlags (none
// are defined); the note's handle statuses.
STATUS LNPUBLIC NSFNoteComputeWithForm(NOTEHANDLE hNote, NOTEHANDLE hFormNote, DWORD dwFlags,
                                       CWF_ERROR_PROC ErrorRoutine, void far *CallersContext);

NOTES_EXTERN_C_END
