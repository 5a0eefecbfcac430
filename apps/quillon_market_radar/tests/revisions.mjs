// The table of protocol revisions in revisions.json, as the process and end-to-end suites read it.
import { readFileSync } from 'node:fs';

export const { revisions: REVISIONS } = JSON.parse(readFileSync(new URL('./revisions.json', import.meta.url), 'utf8'));
