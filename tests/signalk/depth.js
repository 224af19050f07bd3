// Reads NMEA 0183 from a TCP port (ADDR:PORT), parses every line with Signal K's parser and
// prints each value it yields as "PATH VALUE", until the connection ends.
const net = require('net')
const Parser = require('@signalk/nmea0183-signalk')

const parser = new Parser()
const [host, port] = process.argv[2].split(':')
const socket = net.connect(Number(port), host)
let rest = ''
socket.on('data', (chunk) => {
  const lines = (rest + chunk.toString('latin1')).split('\n')
  rest = lines.pop()
  for (const line of lines) {
    try {
      const delta = parser.parse(line.trim())
      for (const update of delta ? delta.updates : [])
        for (const value of update.values) console.log(`${value.path} ${value.value}`)
    } catch (error) {
      console.log(`error ${error.message}: ${line.trim()}`)
    }
  }
})
socket.on('end', () => process.exit(0))
socket.on('error', (error) => {
  console.error(error.message)
  process.exit(1)
})
