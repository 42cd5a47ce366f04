// Validation of the rows of `calls` that the recording system writes: which
// of them name files that the pass may touch at all.
#ifndef FIFODEL_ROWS_H_
#define FIFODEL_ROWS_H_

// Why the files of a call must not be touched, or nullptr when they may be.
// `acDirectory` and `acFilename` are NULL for NULL columns; `acScreenFn` is
// NULL when the screen file's name is derived. Refused: a NULL directory or
// filename, a ".." component in any of the three, and a media name whose
// last component is empty or "." (it would name the directory itself).
const char* RowProblem(const char* acDirectory, const char* acFilename,
                       const char* acScreenFn);

#endif  // FIFODEL_ROWS_H_
