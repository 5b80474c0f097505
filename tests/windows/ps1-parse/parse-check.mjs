// Approximate syntax check of PowerShell scripts: no PowerShell runs on the build machine, so each
// file is parsed with tree-sitter's PowerShell grammar and any ERROR or MISSING node fails it.
// The grammar is not PowerShell's own parser: a clean parse is evidence, not proof.
//
//   node parse-check.mjs FILE.ps1...
import { readFileSync } from 'node:fs';

// Installed by tests/setup.d/60-ps1-parse.sh (npm ci). The grammar names its entry point without
// an extension, which Node resolves for ES modules only with a warning: give the file.
let Parser, PowerShell;
try {
  Parser = (await import('tree-sitter')).default;
  PowerShell = (await import('tree-sitter-powershell/bindings/node/index.js')).default;
} catch (error) {
  console.log(`tree-sitter missing (${error.code}): run tests/setup.d/60-ps1-parse.sh`);
  process.exit(77);
}
const parser = new Parser();
parser.setLanguage(PowerShell);

function problems(node, found = []) {
  if (node.isError || node.isMissing) {
    const { row, column } = node.startPosition;
    const what = node.isMissing ? `missing ${node.type}` : 'syntax error';
    found.push(`${row + 1}:${column + 1}: ${what} near ${JSON.stringify(node.text.slice(0, 40))}`);
  } else if (node.hasError) {
    for (const child of node.children) problems(child, found);
  }
  return found;
}

const files = process.argv.slice(2);
if (files.length === 0) {
  console.error('usage: node parse-check.mjs FILE.ps1...');
  process.exit(2);
}
let failed = 0;
for (const file of files) {
  const text = readFileSync(file, 'utf8');
  // The default input buffer is smaller than a long script.
  const tree = parser.parse(text, null, { bufferSize: Buffer.byteLength(text) * 2 + 1024 });
  const found = problems(tree.rootNode);
  if (found.length > 0) {
    failed += 1;
    for (const problem of found) console.log(`${file}:${problem}`);
  } else {
    console.log(`ok: ${file}`);
  }
}
process.exit(failed > 0 ? 1 : 0);
