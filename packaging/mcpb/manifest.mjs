// Writes the manifest.json of one assistant bundle (.mcpb) to standard output:
//   node manifest.mjs PLATFORM PROGRAM VERSION LICENSE < tools-list-response
// PLATFORM is the host's name of the system (linux, win32), PROGRAM the program's file name under
// server/, LICENSE the licence the copyright file names. The tools are those the program itself
// lists: standard input is its answer to a tools/list request. The one setting is the user's data
// folder, optional: given, the program answers from the store in it (`--data FOLDER`); not given,
// the host leaves the placeholder as it stands (the bundle tool's own substitution does, for an
// unset value and for an empty one alike) and the program takes that for no folder: the demo.
// Never an empty `--data`: the placeholder is a whole argument of its own, which a host replaces
// by the folder or leaves.
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
    mcp_config: {
      command: `\${__dirname}/server/${program}`,
      args: ['mcp', '--data', '${user_config.data_folder}'],
    },
  },
  tools: tools.map(({ name, description }) => ({ name, description })),
  user_config: {
    data_folder: {
      type: 'directory',
      title: 'Your data folder',
      description: 'The folder of your store (market.db), where `quillon_market_radar import ' +
        '--data FOLDER` put your marketplace reports and competitor prices. Leave it empty to ' +
        'see the demo catalogue.',
      required: false,
    },
  },
  license,
  compatibility: { platforms: [platform] },
};
process.stdout.write(`${JSON.stringify(manifest, null, 2)}\n`);
