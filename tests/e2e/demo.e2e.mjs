// Browser test of zelk-demo: starts the demo (with its built-in provider simulator) on a free
// port, then headless Chromium clicks through every flow as a person would: each sign-in denied
// and allowed, posting before and after signing in, a card payment accepted and refused, and a
// PayPal checkout canceled and paid. It checks what the page shows after each step. A failing
// step leaves a screenshot of the page in the screenshot directory.
//
//   node demo.e2e.mjs --demo <zelk-demo> --screenshots <dir> [--chromium /usr/bin/chromium]
//                     [--classic]
//
// By default the demo runs its own form, whose Google, Facebook and Windows Live clients speak
// the providers' current APIs; --classic starts it with demo-form-classic.json (beside the
// executable) and checks the classic flows, Facebook posting included.
//
// The simulator's certificate is made at start-up and trusted by nobody: this browser is told
// to ignore certificate errors, which only a test may do.
import { spawn } from 'node:child_process';
import { mkdtempSync, mkdirSync, rmSync, existsSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { createInterface } from 'node:readline';

function option(name, fallback) {
  const i = process.argv.indexOf(name);
  return i > 0 && i + 1 < process.argv.length ? process.argv[i + 1] : fallback;
}
const demoPath = option('--demo');
const screenshotDir = option('--screenshots', join(process.cwd(), 'screenshots'));
const chromiumPath = option('--chromium', '/usr/bin/chromium');
const classic = process.argv.includes('--classic');

function fail(message) {
  console.error(`e2e: ${message}`);
  process.exit(1);
}
if (!demoPath || !existsSync(demoPath)) fail(`no zelk-demo at "${demoPath}" (pass --demo PATH)`);
if (!existsSync(chromiumPath))
  fail(`no Chromium at ${chromiumPath}: install the Debian package "chromium" (make test does)`);
let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch {
  fail('playwright-core is missing: run "npm ci" in tests/e2e (make test does)');
}

// ---- the demo ---------------------------------------------------------------------------------

// Starts zelk-demo on a free port and resolves with its address once it prints it.
function startDemo() {
  const args = ['--port', '0'];
  if (classic) args.push('--form', join(dirname(demoPath), 'demo-form-classic.json'));
  const child = spawn(demoPath, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  const errors = [];
  createInterface({ input: child.stderr }).on('line', (line) => errors.push(line));
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('zelk-demo printed no address')), 30000);
    child.on('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`zelk-demo ended early (${code}): ${errors.join('\n')}`));
    });
    createInterface({ input: child.stdout }).on('line', (line) => {
      const m = /^Open (http:\/\/\S+) in a browser$/.exec(line);
      if (m) {
        clearTimeout(timer);
        resolve({ child, url: m[1], errors });
      }
    });
  });
}

// Stops the demo as Ctrl+C would and resolves with its exit code.
function stopDemo(child) {
  return new Promise((resolve) => {
    if (child.exitCode !== null) return resolve(child.exitCode);
    child.removeAllListeners('exit');
    child.on('exit', (code, signal) => resolve(code ?? signal));
    child.kill('SIGINT');
  });
}

// ---- steps ------------------------------------------------------------------------------------

const results = [];
let page;

async function step(name, body) {
  try {
    await body();
    results.push({ name, ok: true });
    console.log(`ok   ${name}`);
  } catch (error) {
    results.push({ name, ok: false });
    console.log(`FAIL ${name}\n     ${String(error.message).split('\n').join('\n     ')}`);
    try {
      mkdirSync(screenshotDir, { recursive: true });
      const file = join(screenshotDir, name.replace(/[^A-Za-z0-9]+/g, '-') + '.png');
      await page.screenshot({ path: file, fullPage: true });
      console.log(`     screenshot: ${file}`);
    } catch (shotError) {
      console.log(`     no screenshot: ${shotError.message}`);
    }
  }
}

function expectEqual(actual, expected, what) {
  if (actual !== expected) throw new Error(`${what}: expected "${expected}", got "${actual}"`);
}
function expectMatch(actual, pattern, what) {
  if (!pattern.test(actual)) throw new Error(`${what}: "${actual}" does not match ${pattern}`);
}

const outcome = (flow) => page.locator(`#${flow}-outcome`).innerText();
const outcomeClass = (flow) => page.locator(`#${flow}-outcome`).getAttribute('class');

// Presses a button of the demo's page and waits until the browser has left it and come back
// to the demo (through the provider's page when the flow goes there).
async function pressOnDemo(name) {
  await Promise.all([page.waitForNavigation(), page.getByRole('button', { name, exact: true }).click()]);
}
// On a provider's page: press a button and wait for the demo's page again.
async function pressOnProvider(name, demoUrl) {
  await page.getByRole('button', { name, exact: true }).click();
  await page.waitForURL((u) => u.href.startsWith(demoUrl) && !u.search, { timeout: 15000 });
  await page.waitForLoadState('load');
}

// The current APIs return no gender, and Microsoft Graph no birthday; the ids are the same.
const signIns = [
  {
    flow: 'google', button: 'Sign in with Google', provider: 'Google',
    denied: /^Google sign-in failed: access_denied/,
    user: classic ? ['108204268033311374519', 'Zoë Ünal', 'zoe.unal@gmail.test', 'female']
      : ['108204268033311374519', 'Zoë Ünal', 'zoe.unal@gmail.test'],
  },
  {
    flow: 'facebook', button: 'Sign in with Facebook', provider: 'Facebook',
    denied: classic ? /^Facebook sign-in failed/ : /^Facebook sign-in failed: Permissions error/,
    user: ['Renée 山田', 'renee.yamada@facebook.test', '07/21/1984'],
  },
  {
    flow: 'windowslive', button: 'Sign in with Windows Live', provider: 'Windows Live',
    denied: classic ? /^Windows Live sign-in failed/
      : /^Windows Live sign-in failed: AADSTS65004: User declined to consent/,
    user: classic
      ? ['8c8ce076ca27823f', 'Łukasz Żółć', 'lukasz.zolc@outlook.test', '1979\\11\\3', 'male']
      : ['8c8ce076ca27823f', 'Łukasz Żółć', 'lukasz.zolc@outlook.test'],
  },
  {
    flow: 'twitter', button: 'Sign in with Twitter', provider: 'Twitter',
    denied: classic ? /^Twitter sign-in failed/ : /^Twitter sign-in failed: Access denied$/,
    user: ['1001', 'zelk_sim'],
  },
];

// ---- the run ----------------------------------------------------------------------------------

const demo = await startDemo().catch((e) => fail(e.message));
const base = demo.url;
const userDataDir = mkdtempSync(join(tmpdir(), 'zelk-e2e-'));
let context;
try {
  context = await chromium.launchPersistentContext(userDataDir, {
    executablePath: chromiumPath,
    headless: true,
    ignoreHTTPSErrors: true,
    args: [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--ignore-certificate-errors',
    ],
  });
  context.setDefaultTimeout(15000);
  page = context.pages()[0] ?? (await context.newPage());

  await step('the page shows every flow', async () => {
    await page.goto(base);
    expectMatch(await page.locator('#mode').innerText(), /built-in provider simulator/, 'mode');
    for (const flow of ['google', 'facebook', 'windowslive', 'twitter', 'facebook-post',
      'twitter-post', 'card', 'checkout'])
      expectEqual(await outcome(flow), 'Not tried yet.', `${flow} before anything`);
    expectEqual(await page.locator('#order-total').innerText(), '35.95 EUR', 'order total');
  });

  await step('posting before signing in is refused by the page', async () => {
    await pressOnDemo('Post to Facebook');
    expectEqual(await outcome('facebook-post'),
      "Sign in with Facebook first: posting needs the user's permission.", 'Facebook post');
    await pressOnDemo('Post to Twitter');
    expectEqual(await outcome('twitter-post'),
      "Sign in with Twitter first: posting needs the user's permission.", 'Twitter post');
  });

  for (const s of signIns) {
    await step(`${s.provider}: Deny`, async () => {
      await pressOnDemo(s.button);
      await page.getByRole('button', { name: 'Deny', exact: true }).waitFor();
      await pressOnProvider('Deny', base);
      expectMatch(await outcome(s.flow), s.denied, `${s.flow} after Deny`);
      expectEqual(await outcomeClass(s.flow), 'outcome failed', 'style of a failure');
      expectEqual(await page.locator(`#${s.flow}-user`).count(), 0, 'user shown after Deny');
    });
    await step(`${s.provider}: Allow`, async () => {
      await pressOnDemo(s.button);
      await page.getByRole('button', { name: 'Allow', exact: true }).waitFor();
      await pressOnProvider('Allow', base);
      expectMatch(await outcome(s.flow), /^Signed in with .+ as .+\.$/, `${s.flow} after Allow`);
      const user = await page.locator(`#${s.flow}-user`).innerText();
      expectMatch(user, /ID\s+\S+/, `${s.flow} user id`);
      expectMatch(user, /(Name|Screen name)\s+\S+/, `${s.flow} user name`);
      for (const text of s.user)
        if (!user.includes(text)) throw new Error(`${s.flow} user: "${text}" not in "${user}"`);
    });
  }

  await step('posting after signing in reaches Facebook and Twitter', async () => {
    for (const [section, button, expected] of [
      ['facebook-post', 'Post to Facebook', classic ? /^Posted to Facebook \(post id \S+\)\.$/
        : /^Posting to Facebook is unavailable: Facebook offers no API for posting to a user's timeline/],
      ['twitter-post', 'Post to Twitter', /^Posted to Twitter \(status id \d+\)\.$/],
    ]) {
      await page.locator(`#${section} input[name=status]`).fill('Hello <b>from</b> the e2e test');
      await pressOnDemo(button);
      expectMatch(await outcome(section), expected, section);
    }
  });

  await step('a card payment is accepted', async () => {
    await pressOnDemo('Pay by card');
    // The current API's order charges shipping and tax with the items.
    expectEqual(await outcome('card'),
      `Card payment accepted: ${classic ? '28.75' : '35.95'} EUR charged to the card ending in 1111.`,
      'card');
  });

  await step('a card with a wrong check digit is refused', async () => {
    await page.locator('#card input[name=number]').fill('4111 1111 1111 1112');
    await pressOnDemo('Pay by card');
    expectMatch(await outcome('card'), /^PayPal refused the card payment/, 'card');
    expectEqual(await outcomeClass('card'), 'outcome failed', 'style of a refusal');
    expectEqual(await page.locator('#card input[name=number]').inputValue(), '',
      'the card number is not shown again');
    expectEqual(await page.locator('#card input[name=number]').getAttribute('placeholder'),
      'card ending in 1112', 'only the last four digits are kept');
    expectEqual(await page.locator('#card input[name=cvv]').inputValue(), '', 'the CVV is not kept');
  });

  await step('PayPal: Cancel', async () => {
    await pressOnDemo('Pay with PayPal');
    await page.getByRole('button', { name: 'Cancel', exact: true }).waitFor();
    await pressOnProvider('Cancel', base);
    expectEqual(await outcome('checkout'), 'PayPal checkout canceled: Payment canceled', 'checkout');
  });

  await step('PayPal: Pay', async () => {
    await pressOnDemo('Pay with PayPal');
    await page.getByRole('button', { name: 'Pay', exact: true }).waitFor();
    await pressOnProvider('Pay', base);
    expectEqual(await outcome('checkout'), 'PayPal payment completed: 35.95 EUR paid.', 'checkout');
  });

  await step('the earlier outcomes are all still shown', async () => {
    await page.reload();
    for (const s of signIns)
      expectMatch(await outcome(s.flow), /^Signed in with /, `${s.flow} after reload`);
    expectEqual(await page.locator('#notice').count(), 0, 'a notice after a plain reload');
  });
} catch (error) {
  results.push({ name: 'browser', ok: false });
  console.log(`FAIL browser: ${error.message}`);
} finally {
  if (context) await context.close().catch(() => {});
  rmSync(userDataDir, { recursive: true, force: true });
  const code = await stopDemo(demo.child);
  if (code !== 0) {
    results.push({ name: 'graceful stop', ok: false });
    console.log(`FAIL zelk-demo ended with ${code} on SIGINT:\n${demo.errors.join('\n')}`);
  }
}

const failed = results.filter((r) => !r.ok);
console.log(`${results.length - failed.length} passed, ${failed.length} failed`);
process.exit(failed.length === 0 && results.length > 0 ? 0 : 1);
