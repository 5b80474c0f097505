// Checks one native-messaging host manifest the way the browsers read it:
//   node check_manifest.mjs FILE chromium|firefox HOST_NAME ALLOWED[,ALLOWED...]
// Exits non-zero naming the first thing a browser would reject.
import { accessSync, constants, readFileSync, statSync } from 'node:fs';
import { basename, isAbsolute } from 'node:path';

const [file, kind, hostName, allowedList] = process.argv.slice(2);
const fail = (why) => {
  console.error(`${file}: ${why}`);
  process.exit(1);
};

let manifest;
try {
  manifest = JSON.parse(readFileSync(file, 'utf8'));
} catch (e) {
  fail(`not valid JSON: ${e.message}`);
}
if (manifest.name !== hostName) fail(`name is ${JSON.stringify(manifest.name)}, not ${hostName}`);
if (basename(file) !== `${hostName}.json`) fail('file name is not the host name plus .json');
if (manifest.type !== 'stdio') fail('type is not "stdio"');
if (typeof manifest.path !== 'string' || !isAbsolute(manifest.path)) fail('path is not absolute');
try {
  if (!statSync(manifest.path).isFile()) fail(`path ${manifest.path} is not a file`);
  accessSync(manifest.path, constants.X_OK);
} catch (e) {
  fail(`path ${manifest.path} is not an executable file: ${e.code}`);
}

const expected = allowedList ? allowedList.split(',') : [];
const [key, other, pattern] =
  kind === 'firefox'
    ? ['allowed_extensions', 'allowed_origins', /^([A-Za-z0-9._+-]*@[A-Za-z0-9._-]+|\{[0-9A-Fa-f-]+\})$/]
    : ['allowed_origins', 'allowed_extensions', /^chrome-extension:\/\/[a-p]{32}\/$/];
if (other in manifest) fail(`${other} does not belong in a ${kind} manifest`);
const allowed = manifest[key];
if (!Array.isArray(allowed)) fail(`${key} is not an array`);
for (const entry of allowed) {
  if (!pattern.test(entry)) fail(`${key} entry ${JSON.stringify(entry)} is malformed`);
}
if (JSON.stringify(allowed) !== JSON.stringify(expected)) {
  fail(`${key} is ${JSON.stringify(allowed)}, expected ${JSON.stringify(expected)}`);
}
