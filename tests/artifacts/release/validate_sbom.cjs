// Validates CycloneDX JSON files with the CycloneDX project's own library:
// against the JSON schema of the version each file names (strictly: no
// property the schema does not define), and each package URL and licence
// expression with the parsers the library itself relies on. Every licence
// of a component must be an SPDX expression (a licence named in free text
// is schema-valid, and lost to compliance tools), and every package URL in
// canonical form: each character of its name and version other than
// A-Z a-z 0-9 . - _ ~ percent-encoded (a Debian version's "+" as %2B), the
// version decoding to the component's.
// Usage: node validate_sbom.cjs FILE...  (NODE_PATH: the installed modules)
'use strict';
const fs = require('fs');
const { Validation } = require('@cyclonedx/cyclonedx-library');
const { PackageURL } = require('packageurl-js');
const parseSpdx = require('spdx-expression-parse');

// A name or version segment as the canonical form writes it.
const CANONICAL_SEGMENT = /^(?:[A-Za-z0-9._~-]|%[0-9A-F]{2})+$/;

function purlProblem(component) {
  const purl = PackageURL.fromString(component.purl);
  const [, segments] = component.purl.match(/^pkg:[^/]+\/([^?#]*)/) ?? [];
  const [path, version] = (segments ?? '').split('@');
  const badSegment = [...path.split('/'), version ?? ''].find((s) => s !== '' && !CANONICAL_SEGMENT.test(s));
  if (badSegment !== undefined) {
    return `"${badSegment}" is not percent-encoded as the canonical form has it`;
  }
  if (component.version !== undefined && purl.version !== component.version) {
    return `its version ${purl.version} is not the component's ${component.version}`;
  }
  return null;
}

async function problemsOf(path) {
  const text = fs.readFileSync(path, 'utf8');
  const bom = JSON.parse(text);
  const problems = [];
  // A version the library does not know throws (NotImplementedError).
  const errors = await new Validation.JsonStrictValidator(bom.specVersion).validate(text);
  if (errors !== null) {
    problems.push(`not valid CycloneDX ${bom.specVersion} JSON: ${JSON.stringify(errors)}`);
  }
  const components = [bom.metadata?.component, ...(bom.components ?? [])].filter(Boolean);
  for (const component of components) {
    if (component.purl !== undefined) {
      try {
        const problem = purlProblem(component);
        if (problem) problems.push(`${component.name}: package URL ${component.purl}: ${problem}`);
      } catch (e) {
        problems.push(`${component.name}: package URL ${component.purl}: ${e.message}`);
      }
    }
    for (const licence of component.licenses ?? []) {
      if (licence.expression === undefined) {
        problems.push(`${component.name}: licence ${JSON.stringify(licence)} is not an SPDX expression`);
      } else {
        try {
          parseSpdx(licence.expression);
        } catch (e) {
          problems.push(`${component.name}: licence expression ${licence.expression}: ${e.message}`);
        }
      }
    }
  }
  return problems.length ? problems : null;
}

(async () => {
  let failed = false;
  for (const path of process.argv.slice(2)) {
    let problems;
    try {
      problems = await problemsOf(path);
    } catch (e) {
      problems = [e.message];
    }
    if (problems) {
      failed = true;
      for (const p of problems) console.log(`invalid: ${path}: ${p}`);
    } else {
      const bom = JSON.parse(fs.readFileSync(path, 'utf8'));
      console.log(`valid: ${path}: CycloneDX ${bom.specVersion}, ${bom.metadata.component.name} ` +
                  `${bom.metadata.component.version}, ${(bom.components ?? []).length} components`);
    }
  }
  process.exit(failed ? 1 : 0);
})();
