// A private aedes broker for the tests (tests/support/broker.h, AedesBroker):
//
//   node aedes_broker.mjs --aedes DIR --port PORT
//        [--tls-port PORT --ca FILE --cert FILE --key FILE]
//        [--username NAME --password PASSWORD]
//
// Listens on 127.0.0.1 only: PORT plain, and with --tls-port a TLS listener
// that requires a client certificate signed by --ca. With --username, only
// that user with that password may connect. aedes is loaded from the npm
// install in DIR (scripts/aedes.sh). One line per event goes to standard
// error; SIGTERM ends the broker at once.
import { createRequire } from 'node:module';
import net from 'node:net';
import { join } from 'node:path';
import { readFileSync } from 'node:fs';
import tls from 'node:tls';
import { pathToFileURL } from 'node:url';
import { parseArgs } from 'node:util';

const log = (text) => process.stderr.write(`aedes_broker: ${text}\n`);

function fail(text) {
  log(text);
  process.exit(2);
}

// aedes 1.x runs on node 20 and later only; say so rather than fail obscurely.
if (Number(process.versions.node.split('.')[0]) < 20) {
  fail(`node >= 20 is needed for aedes, this is ${process.version}`);
}

const { values: args } = parseArgs({
  options: {
    aedes: { type: 'string' },
    port: { type: 'string' },
    'tls-port': { type: 'string' },
    ca: { type: 'string' },
    cert: { type: 'string' },
    key: { type: 'string' },
    username: { type: 'string' },
    password: { type: 'string', default: '' },
  },
});
if (!args.aedes || !args.port) fail('--aedes DIR and --port PORT are required');

process.on('SIGTERM', () => {
  log('SIGTERM, exiting');
  process.exit(0);
});

let aedesPath;
try {
  aedesPath = createRequire(join(args.aedes, 'package.json')).resolve('aedes');
} catch (err) {
  fail(`aedes is not installed in ${args.aedes} (scripts/aedes.sh installs it): ${err.message.split('\n')[0]}`);
}
const { Aedes } = await import(pathToFileURL(aedesPath).href);
const broker = await Aedes.createBroker();

if (args.username) {
  // Anonymous clients and wrong passwords are refused alike (CONNACK 5).
  broker.authenticate = (client, username, password, done) => {
    done(null, username === args.username && password?.toString() === args.password);
  };
}

const peer = (client) => (client ? client.id : '(no client)');
broker.on('client', (client) => log(`connect ${peer(client)}`));
broker.on('clientDisconnect', (client) => log(`disconnect ${peer(client)}`));
broker.on('clientError', (client, err) => log(`client error ${peer(client)}: ${err.message}`));
broker.on('connectionError', (client, err) => log(`connection error ${peer(client)}: ${err.message}`));
broker.on('subscribe', (subs, client) =>
  log(`subscribe ${peer(client)}: ${subs.map((s) => `${s.topic} qos ${s.qos}`).join(', ')}`));
broker.on('publish', (packet, client) => {
  if (client) log(`publish ${peer(client)}: ${packet.topic} qos ${packet.qos}, ${packet.payload.length} bytes`);
});

function listen(server, port, what) {
  server.on('error', (err) => fail(`${what} listener on 127.0.0.1:${port}: ${err.message}`));
  server.listen(Number(port), '127.0.0.1', () => log(`${what} listener on 127.0.0.1:${port}`));
}

listen(net.createServer(broker.handle), args.port, 'plain');
if (args['tls-port']) {
  const options = {
    ca: readFileSync(args.ca),
    cert: readFileSync(args.cert),
    key: readFileSync(args.key),
    requestCert: true,
    rejectUnauthorized: true,
  };
  const server = tls.createServer(options, broker.handle);
  server.on('tlsClientError', (err) => log(`tls client error: ${err.message}`));
  listen(server, args['tls-port'], 'tls');
}
