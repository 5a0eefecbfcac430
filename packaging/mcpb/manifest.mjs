// Writes the manifest.json of one assistant bundle (.mcpb) to standard output:
//   node manifest.mjs PLATFORM PROGRAM VERSION LICENSE < tools-list-response
// PLATFORM is the host's name of the system (linux, win32), PROGRAM the program's file name under
// server/, LICENSE the licence the copyright file names. The tools are those the program itself
// lists: standard input is its answer to a tools/list request.
import { readFileSync } from 'node:fs';

const [platform, program, version, license] = process.argv.slice(2);
if (!platform || !program || !version || !license) {
  throw new Error('usage: node manifest.mjs PLATFORM PROGRAM VERSION LICENSE < tools-list-response');
}
const { tools } = JSON.parse(readFileSync(0, 'utf8')).result;

const manifest = {
  manifest_version: '0.3',
  name: 'quillon-market-radar',
  display_name: 'Quillon Market Radar',
  version,
  description: 'Competitor prices on Amazon.in and Flipkart, review defects and cheaper Jan ' +
    'Aushadhi generics, from a store on your own computer.',
  author: { name: 'Varnel AI Labs' },
  server: {
    type: 'binary',
    entry_point: `server/${program}`,
    mcp_config: { command: `\${__dirname}/server/${program}`, args: ['mcp'] },
  },
  tools: tools.map(({ name, description }) => ({ name, description })),
  license,
  compatibility: { platforms: [platform] },
};
process.stdout.write(`${JSON.stringify(manifest, null, 2)}\n`);
