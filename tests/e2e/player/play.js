// node play.js URL TIMEOUT_S PROFILE_DIR: opens URL (player.html) in headless Debian Chromium, waits for the page's
// report (at most TIMEOUT_S seconds) and prints it as JSON. Exits 1 when the report did not come in time.
const puppeteer = require('puppeteer-core');

async function main() {
  const [url, timeoutS, profile] = process.argv.slice(2);
  const browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium', headless: true, userDataDir: profile,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--autoplay-policy=no-user-gesture-required',
           '--mute-audio', '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--no-first-run'],
  });
  const console_ = [];
  try {
    const page = await browser.newPage();
    page.on('console', (m) => console_.push(`${m.type()}: ${m.text()}`));
    page.on('pageerror', (e) => console_.push(`page error: ${e.message}`));
    await page.goto(url, {waitUntil: 'load'});
    let report;
    try {
      await page.waitForFunction('window.report && window.report.done', {timeout: timeoutS * 1000, polling: 250});
      report = await page.evaluate(() => window.report);
    } catch (e) {
      report = await page.evaluate(() => window.report).catch(() => ({}));
      report = Object.assign(report || {}, {timedOut: `no end within ${timeoutS} s`,
        currentTime: await page.evaluate(() => document.getElementById('video').currentTime).catch(() => null)});
    }
    report.console = console_.filter((line) => !line.startsWith('debug') && !line.startsWith('log')).slice(-20);
    console.log(JSON.stringify(report));
    return report.timedOut ? 1 : 0;
  } finally {
    await browser.close();
  }
}

main().then((status) => process.exit(status), (e) => { console.error(e); process.exit(2); });
